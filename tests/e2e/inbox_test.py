"""Inbox=1 through the web server's own login: the list and a submission for a
user InboxUsers names; nothing for a request without REMOTE_USER or a user not
listed; an action posted without its token, with a wrong one or from another
origin does nothing, and with both it deletes; a mail kept while SMTP was down is
sent once by its retry button; three clicks at once on "Release" send one mail."""

import base64
import re
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import Site, free_port
from system_support import MailSink, eventually, mail_names, odbc_environment, scratch_folder

USERS = {"ann": "ann-password", "bob": "bob-password"}
INBOX = "/cgi-bin/velloc/inbox"


def login(user):
    token = base64.b64encode(f"{user}:{USERS[user]}".encode()).decode()
    return {"Authorization": f"Basic {token}"}


class InboxTest(unittest.TestCase):
    def setUp(self):
        self.odbc = odbc_environment(scratch_folder(self, "velloc-inbox-") / "odbc", {})
        self.settings = {"Inbox": "1", "InboxUsers": "ann", "InboxSecret": "e2e inbox secret",
                         "Archive": "1", "SMTP": f"127.0.0.1:{free_port()}"}

    def site(self, basic_auth=USERS):
        return Site(settings=self.settings, cgi_env=self.odbc, basic_auth=basic_auth)

    def submit(self, site, text):
        status, _, body = site.post("/cgi-bin/velloc", [("name", "Ann"), ("message", text),
                                                        ("DISABLE_MAIL", "1")], login("ann"))
        self.assertEqual(200, status, body)

    def submission_link(self, site, text):
        status, headers, body = site.get(f"{INBOX}?q={text}", login("ann"))
        self.assertEqual(200, status, body)
        self.assertEqual("DENY", headers.get("X-Frame-Options"))
        self.assertIn("frame-ancestors 'none'", headers.get("Content-Security-Policy", ""))
        links = re.findall(r'<a href="(/cgi-bin/velloc/inbox/submission/[^"]+)">', body.decode())
        return links[0] if links else None

    def post_action(self, site, action, token, origin):
        headers = dict(login("ann"), Origin=origin) if origin else login("ann")
        fields = [("token", token)] if token is not None else []
        return site.post(action, fields, headers)

    def test_only_a_listed_authenticated_user_sees_the_inbox(self):
        with self.site() as site:
            self.submit(site, "only-for-ann")
            self.assertIsNotNone(self.submission_link(site, "only-for-ann"))
            status, _, body = site.get(INBOX, login("bob"))
            self.assertEqual(403, status)
            self.assertNotIn(b"only-for-ann", body)
            self.assertIn("Inbox refused: user bob is not in InboxUsers", site.log)
            status, _, _ = site.get(INBOX)
            self.assertEqual(401, status)  # the web server's login, before velloc
        with self.site(basic_auth=None) as site:
            self.submit(site, "nobody-sees-this")
            status, headers, body = site.get(INBOX)
            self.assertEqual(403, status)
            self.assertEqual("no-store", headers.get("Cache-Control"))
            self.assertNotIn(b"nobody-sees-this", body)
            self.assertIn("Inbox refused: no user was authenticated", site.log)

    def test_an_action_needs_its_token_and_the_inboxs_origin(self):
        with self.site() as site:
            self.submit(site, "to-be-deleted")
            link = self.submission_link(site, "to-be-deleted")
            status, _, page = site.get(link, login("ann"))
            self.assertEqual(200, status)
            action, token = re.search(
                r'<form method="post" action="([^"]+/delete)"><input type="hidden" '
                r'name="token" value="([0-9a-f]+)">', page.decode()).groups()
            own = f"http://127.0.0.1:{site.port}"
            refusals = [(None, own), ("0" * 64, own), (token, "http://evil.example"),
                        (token, None)]
            for sent_token, origin in refusals:
                status, _, _ = self.post_action(site, action, sent_token, origin)
                self.assertEqual(403, status, (sent_token, origin))
            self.assertEqual(link, self.submission_link(site, "to-be-deleted"))
            self.assertEqual(4, site.log.count("Inbox: delete of submission"))
            status, headers, _ = self.post_action(site, action, token, own)
            self.assertEqual(303, status)
            self.assertTrue(headers["Location"].endswith(INBOX), headers)
            self.assertIsNone(self.submission_link(site, "to-be-deleted"))
            self.assertIn("Inbox: delete by ann of submission", site.log)

    def test_without_inbox_secret_one_kept_in_the_state_store_signs_the_actions(self):
        del self.settings["InboxSecret"]
        with self.site() as site:
            self.submit(site, "kept-secret")
            link = self.submission_link(site, "kept-secret")
            pages = [site.get(link, login("ann"))[2].decode() for _ in range(2)]
            self.assertEqual(pages[0], pages[1])  # the secret made once is kept
            action, token = re.search(
                r'<form method="post" action="([^"]+/delete)"><input type="hidden" '
                r'name="token" value="([0-9a-f]+)">', pages[0]).groups()
            status, _, _ = self.post_action(site, action, token, f"http://127.0.0.1:{site.port}")
            self.assertEqual(303, status)
            self.assertIsNone(self.submission_link(site, "kept-secret"))

    def test_retry_now_sends_a_waiting_mail_once(self):
        scratch = scratch_folder(self, "velloc-inbox-mail-")
        sink = MailSink(scratch / "mails")
        self.settings.update(SMTP=f"127.0.0.1:{sink.port}", AllowedRecipients="owner@example.com")
        with self.site() as site:
            status, _, body = site.post("/cgi-bin/velloc", [
                ("name", "Ann"), ("message", "retry-me"), ("RECIPIENT", "owner@example.com")],
                login("ann"))
            self.assertEqual(200, status, body)
            link = self.submission_link(site, "retry-me")
            _, _, page = site.get(link, login("ann"))
            action, token = re.search(
                r'<form method="post" action="([^"]+/retry)"><input type="hidden" '
                r'name="token" value="([0-9a-f]+)">', page.decode()).groups()
            own = f"http://127.0.0.1:{site.port}"
            with sink:
                status, headers, _ = self.post_action(site, action, token, own)
                self.assertEqual(303, status)
                self.assertTrue(headers["Location"].endswith(link), headers)
                self.assertTrue(eventually(lambda: len(mail_names(sink.folder)) == 1, 10))
                status, _, body = self.post_action(site, action, token, own)
                self.assertEqual(409, status)  # delivered: nothing waits to be retried
                self.assertIn(b"was delivered already", body)
                self.assertEqual(1, len(mail_names(sink.folder)))
            _, _, page = site.get(link, login("ann"))
            self.assertIn(b'status-delivered">delivered', page)
            self.assertNotIn(b"/retry", page)
            self.assertIn("Inbox: retry by ann of delivery", site.log)

    def test_releases_clicked_at_once_send_one_mail(self):
        scratch = scratch_folder(self, "velloc-inbox-release-")
        sink = MailSink(scratch / "mails")
        self.settings.update(SMTP=f"127.0.0.1:{sink.port}", AllowedRecipients="owner@example.com",
                             HoneypotField="website")
        with self.site() as site, sink:
            status, _, body = site.post("/cgi-bin/velloc", [
                ("name", "Ann"), ("message", "release-me"), ("RECIPIENT", "owner@example.com"),
                ("website", "http://spam.test")], login("ann"))
            self.assertEqual(200, status, body)
            link = self.submission_link(site, "release-me")
            _, _, page = site.get(link, login("ann"))
            action, token = re.search(
                r'<form method="post" action="([^"]+/release)"><input type="hidden" '
                r'name="token" value="([0-9a-f]+)">', page.decode()).groups()
            own = f"http://127.0.0.1:{site.port}"
            with ThreadPoolExecutor(3) as clicks:
                answers = list(clicks.map(
                    lambda _: self.post_action(site, action, token, own), range(3)))
            self.assertEqual([303, 409, 409], sorted(answer[0] for answer in answers))
            for status, _, body in answers:
                if status == 409:
                    self.assertIn(b"was released already", body)
            self.assertTrue(eventually(lambda: len(mail_names(sink.folder)) == 1, 10))
            self.assertEqual(1, len(mail_names(sink.folder)))
            self.assertEqual(2, site.log.count("was released already"))


if __name__ == "__main__":
    unittest.main()
