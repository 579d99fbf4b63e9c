"""The demo site in a real browser (headless Chromium driven through chromedriver): a
person opens the index page, follows its links to the contact and the order form,
types into the fields, chooses options and clicks the submit button. The test then
checks the pages the browser shows, the mails the demo's mail server stored (parsed
with the email package), the order's database row and the rebuilt order list. The
contact form is sent by the site's script without leaving the page, and by the
browser itself when scripts are off; the stockist's page on another origin posts
JSON, accepted from the origin the settings allow and refused from any other. The
site owner logs in to the inbox (linked from the index page) through lighttpd's
login, finds a survey answer sent a moment earlier by its text, opens it, downloads
the CSV of the search, releases an answer that was kept as spam (its mail then
arrives) and deletes one.

With VELLOC_SCREENSHOTS=FOLDER the inbox test also writes the README's pictures
of the list and of one submission (inbox-list.png, inbox-submission.png) there."""

import base64
import csv
import io
import os
import re
import shutil
import sqlite3
import sys
import tempfile
import unittest
from pathlib import Path

from system_support import DemoSite, eventually, mail_names, parse_mail, sqlite_odbc_driver

# Everything the test knows about where the demo keeps things. Pages and the CGI are
# found through the index page's links, the forms by their visible fields.
PATHS = {
    "index": "/",
    "mail": "mail",                  # under DEMO_DIR: one .eml per mail
    "database": "data/orders.db",    # under DEMO_DIR: table Orders
    "settings": "velloc.ini",        # found anywhere under DEMO_DIR, any case
    "log": "velloc.log",             # under DEMO_DIR
}
SCREENSHOTS = os.environ.get("VELLOC_SCREENSHOTS")
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT_SECONDS = 30
# A message with lines that SMTP must protect: a lone dot ends the data unless it is
# sent doubled, and a line beginning with a dot loses that dot unless it is doubled.
MESSAGE_LINES = ["Do you sell to cafes?", ".", "..and a line that starts with dots", "Thanks"]

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
    HAVE_BROWSER = os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)
except ImportError:
    HAVE_BROWSER = False


def start_browser(profile, scripts=True):
    options = webdriver.ChromeOptions()
    if not scripts:
        options.add_experimental_option(
            "prefs", {"profile.managed_default_content_settings.javascript": 2})
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--no-default-browser-check", "--no-proxy-server",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--disable-extensions", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
    browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    browser.set_page_load_timeout(WAIT_SECONDS)
    return browser


@unittest.skipUnless(HAVE_BROWSER and sqlite_odbc_driver(), "Chromium, chromedriver, selenium"
                     " or the SQLite ODBC driver is not installed")
class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="velloc-browser-"))
        cls.demo = DemoSite(cls.root).__enter__()
        try:
            cls.browser = start_browser(cls.root / "profile")
        except Exception:
            cls.demo.__exit__()
            raise
        cls.seen_mails = set()

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.demo.__exit__()
        shutil.rmtree(cls.root, ignore_errors=True)

    # Navigation as a visitor does it.
    def index_links(self):
        self.browser.get(self.demo.url + PATHS["index"])
        links = {a.get_attribute("href") for a in self.browser.find_elements(By.CSS_SELECTOR, "a")}
        return sorted(link for link in links if link and link.startswith(self.demo.url))

    def open_form_with(self, field):
        """Follows the index links to the page whose form has the visible `field`."""
        for link in self.index_links():
            self.browser.get(link)
            if self.browser.find_elements(By.CSS_SELECTOR, f'form [name="{field}"]'):
                return self.browser.find_element(By.CSS_SELECTOR, f'form:has([name="{field}"])')
        self.fail(f"no page linked from the index has a form with the field {field}")

    def type_into(self, form, name, text):
        field = form.find_element(By.NAME, name)
        field.clear()
        field.send_keys(text)

    def hidden(self, form, name):
        return form.find_element(By.CSS_SELECTOR, f'input[type="hidden"][name="{name}"]') \
            .get_attribute("value")

    def profile_value(self, form, key):
        """`key` of the profile that the form names, as the installed settings hold it."""
        section = f"[form {self.hidden(form, 'FORM_PROFILE')}]".lower()
        current = None
        for line in self.installed_file(PATHS["settings"]).read_text().splitlines():
            if line.startswith("["):
                current = line.strip().lower()
            elif current == section and line.partition("=")[0].strip().upper() == key:
                return line.partition("=")[2].strip()
        self.fail(f"{section} sets no {key}")

    def submit(self, form, heading):
        """Clicks the form's button and returns the text of the accepted response page,
        the page whose heading reads `heading`."""
        page = self.submit_for_page(form, heading)
        self.assertNotIn("Not Processed", page)
        return page

    def submit_for_page(self, form, heading):
        """Clicks the form's button and waits for the page whose heading reads
        `heading`. Heading and text are read by one script in one document; while
        the form's page is being replaced, a look fails in one of several ways
        (stale element, no such node, document unloaded), and each only means
        "not yet"."""
        self.mark_page()
        form.find_element(By.CSS_SELECTOR, '[type="submit"]').click()

        def response_text(browser):
            try:
                return browser.execute_script(
                    "const h1 = document.querySelector('h1');"
                    "return h1 && h1.innerText.includes(arguments[0])"
                    " ? document.body.innerText : null;", heading)
            except WebDriverException:
                return None

        try:
            page = WebDriverWait(self.browser, WAIT_SECONDS).until(response_text)
        except TimeoutException:
            self.fail(f"expected a page headed {heading!r}, got:\n{self.browser.page_source}\n"
                      f"demo output:\n{self.demo.output()}")
        return page

    def mark_page(self):
        """Marks the document shown (when scripts run), so that stayed_on_page can tell
        an answer shown in place from a page the browser navigated to."""
        self.page_url = self.browser.current_url
        self.browser.execute_script("window.markedByTest = true;")

    def stayed_on_page(self):
        return self.browser.current_url == self.page_url and \
            self.browser.execute_script("return window.markedByTest === true;")

    def wait_for(self, condition, what):
        """The first true value of `condition(browser)` (bounded); a look that fails
        while the page changes only means "not yet"."""
        def looked(browser):
            try:
                return condition(browser)
            except WebDriverException:
                return None

        try:
            return WebDriverWait(self.browser, WAIT_SECONDS).until(looked)
        except TimeoutException:
            self.fail(f"{what} did not appear:\n{self.browser.page_source}\n"
                      f"demo output:\n{self.demo.output()}")

    def fill_contact_form(self, form, name, email, message):
        self.type_into(form, "name", name)
        self.type_into(form, "email", email)
        if message:
            self.type_into(form, "message", message)

    def partner_answer(self, url, fields):
        """Opens the stockist's page at `url`, fills and sends its form, and returns
        the text its script shows in answer."""
        self.browser.get(url)
        form = self.browser.find_element(By.CSS_SELECTOR, "form")
        for name in ("name", "email", "packs"):
            self.type_into(form, name, fields[name])
        for tea in fields["teas"]:
            form.find_element(By.CSS_SELECTOR, f'[name="teas"][value="{tea}"]').click()
        form.find_element(By.CSS_SELECTOR, '[type="submit"]').click()
        answer = self.wait_for(
            lambda b: b.find_element(By.ID, "answer").is_displayed() and
            b.find_element(By.ID, "answer").text, "the stockist page's answer")
        self.assertEqual(url, self.browser.current_url)
        return answer

    # What the demo stored.
    def new_mails(self, count):
        """The `count` mails stored since the last call, by envelope recipient."""
        folder = self.demo.dir / PATHS["mail"]
        eventually(lambda: len(set(mail_names(folder)) - self.seen_mails) >= count, WAIT_SECONDS)
        names = sorted(set(mail_names(folder)) - self.seen_mails)
        self.seen_mails.update(names)
        mails = {}
        for name in names:
            mail = parse_mail(folder / name)
            mails[mail["X-Envelope-To"]] = mail
        self.assertEqual(count, len(names), sorted(mails))
        return mails

    def installed_file(self, name):
        """The file of the installed site with this name (mails excluded)."""
        found = [p for p in self.demo.dir.rglob("*") if p.name.lower() == name.lower()
                 and p.is_file() and PATHS["mail"] not in p.relative_to(self.demo.dir).parts]
        self.assertEqual(1, len(found), f"{name}: {found}")
        return found[0]

    def owner(self):
        for line in self.installed_file(PATHS["settings"]).read_text().splitlines():
            key, _, value = line.partition("=")
            if key.strip().lower() == "defaultrecipient":
                return value.strip()
        self.fail("the demo's settings name no default recipient")

    def solved_challenge_after_load(self):
        """Waits until the page's challenge widget has put its solution into the form;
        the milliseconds from the page's load event to then."""
        def solved_at(browser):
            return browser.execute_script(
                "const field = document.querySelector('form input[name=\"altcha\"]');"
                "return field && field.value ? performance.now() -"
                " performance.getEntriesByType('navigation')[0].loadEventEnd : null;")

        try:
            return WebDriverWait(self.browser, WAIT_SECONDS, poll_frequency=0.02).until(solved_at)
        except TimeoutException:
            self.fail(f"the challenge was not solved:\n{self.browser.page_source}\n"
                      f"demo output:\n{self.demo.output()}")

    def test_1_contact_form(self):
        form = self.open_form_with("message")
        elapsed = self.solved_challenge_after_load()
        print(f"challenge solved {elapsed:.0f} ms after the page loaded", file=sys.stderr)
        subject = self.profile_value(form, "SUBJECT")
        receipt_from = self.profile_value(form, "RECEIPT_FROM")
        receipt_subject = self.profile_value(form, "RECEIPT_SUBJECT")
        self.type_into(form, "name", "Ann")
        self.type_into(form, "email", "ann@example.test")
        Select(form.find_element(By.NAME, "topic")).select_by_value("wholesale")
        self.type_into(form, "message", "\n".join(MESSAGE_LINES))
        form.find_element(By.NAME, "callback").click()
        self.type_into(form, "phone", "555 0100")
        page = self.submit(form, "Thank you, Ann")
        self.assertIn("ann@example.test", page)
        self.assertIn("555 0100", page)
        # The site's script sent the form and shows the confirmation in place.
        self.assertTrue(self.stayed_on_page(), self.browser.current_url)

        mails = self.new_mails(2)
        self.assertEqual({self.owner(), "ann@example.test"}, set(mails))
        form_mail, receipt = mails[self.owner()], mails["ann@example.test"]
        self.assertEqual(subject, form_mail["Subject"])
        self.assertEqual(self.owner(), form_mail["To"])
        body = form_mail.get_body().get_content()
        self.assertIn("\n".join(MESSAGE_LINES) + "\n", body)
        for value in ("Ann", "ann@example.test", "wholesale", "555 0100"):
            self.assertIn(value, body)

        self.assertEqual(receipt_from, receipt["From"])
        self.assertEqual(receipt_subject, receipt["Subject"])
        self.assertEqual("ann@example.test", receipt["To"])
        receipt_body = receipt.get_body().get_content()
        self.assertTrue(receipt_body.startswith("Dear Ann,\n"), receipt_body)
        self.assertIn("\n".join(MESSAGE_LINES) + "\n", receipt_body)
        (attachment,) = receipt.iter_attachments()
        self.assertEqual(self.installed_file(attachment.get_filename()).read_bytes(),
                         attachment.get_payload(decode=True))

    def test_2_order_form(self):
        form = self.open_form_with("qty_sencha")
        receipt_subject = self.profile_value(form, "RECEIPT_SUBJECT")
        for name, text in (("qty_sencha", "2"), ("qty_assam", "0"), ("qty_oolong", "3"),
                           ("name", "Bo"), ("email", "bo@example.test"),
                           ("address", "1 Leaf Lane\nTeaville"), ("comments", "Before Friday")):
            self.type_into(form, name, text)
        form.find_element(By.NAME, "gift").click()
        page = self.submit(form, "Thank you for your order, Bo")
        self.assertIn("$32.40", page)
        self.assertIn("1 Leaf Lane", page)

        mails = self.new_mails(2)
        self.assertEqual({self.owner(), "bo@example.test"}, set(mails))
        listing = mails[self.owner()].get_body().get_content()
        for line in ("NAME:  Bo\n", "QTY_SENCHA:  2\n", "QTY_OOLONG:  3\n", "GIFT:  yes\n"):
            self.assertIn(line, listing)
        receipt = mails["bo@example.test"]
        self.assertEqual(receipt_subject, receipt["Subject"])
        receipt_body = receipt.get_body().get_content()
        self.assertIn("Total: $32.40\n", receipt_body)
        self.assertIn("1 Leaf Lane\nTeaville\n", receipt_body)

        with sqlite3.connect(self.demo.dir / PATHS["database"]) as db:
            rows = db.execute("SELECT CustName, Email, Address, Sencha, Assam, Oolong, GiftWrap,"
                              " Comments FROM Orders").fetchall()
        # A browser sends the line break of a text area as CR LF.
        self.assertEqual([("Bo", "bo@example.test", "1 Leaf Lane\r\nTeaville", 2, 0, 3, "yes",
                           "Before Friday")], rows)

        # The rebuilt order list is one of the index's pages; the order is a row of it.
        rows_shown = []
        for link in self.index_links():
            self.browser.get(link)
            rows_shown += [row.text for row in self.browser.find_elements(By.CSS_SELECTOR, "tr")
                           if "Before Friday" in row.text]
        self.assertEqual(["Bo 2 0 3 yes Before Friday"], rows_shown)

    def test_3_job_application_with_a_file(self):
        cv = bytes(range(256)) * 30 + b"%PDF-1.4\r\n%%EOF\r\n"
        cv_path = self.root / "Cy Applicant CV.pdf"
        cv_path.write_bytes(cv)
        form = self.open_form_with("cv")
        self.type_into(form, "name", "Cy")
        self.type_into(form, "email", "cy@example.test")
        self.type_into(form, "letter", "I know my teas.")
        form.find_element(By.NAME, "cv").send_keys(str(cv_path))
        page = self.submit(form, "Thank you for applying, Cy")
        self.assertIn(cv_path.name, page)

        form_mail = self.new_mails(1)[self.owner()]
        self.assertIn("I know my teas.", form_mail.get_body().get_content())
        (attachment,) = form_mail.iter_attachments()
        self.assertEqual(cv_path.name, attachment.get_filename())
        self.assertEqual(cv, attachment.get_payload(decode=True))

        program = self.root / "tool.exe"
        program.write_bytes(b"MZ\x90\x00")
        form = self.open_form_with("cv")
        self.type_into(form, "name", "Cy")
        self.type_into(form, "email", "cy@example.test")
        form.find_element(By.NAME, "cv").send_keys(str(program))
        self.assertIn("File Not Accepted: tool.exe", self.submit_for_page(form, "Not Processed"))

    def test_4_contact_form_missing_field_in_place(self):
        form = self.open_form_with("message")
        self.solved_challenge_after_load()
        self.fill_contact_form(form, "Di", "di@example.test", "")
        self.mark_page()
        form.find_element(By.CSS_SELECTOR, '[type="submit"]').click()
        note = self.wait_for(lambda b: b.find_element(By.ID, b.find_element(
            By.NAME, "message").get_attribute("aria-describedby")), "the message field's note")
        self.assertTrue(note.text)
        # Beside its input: the element right after the text area.
        self.assertEqual(note, self.browser.execute_script(
            "return document.getElementsByName('message')[0].nextElementSibling;"))
        self.assertTrue(self.stayed_on_page())
        for name in ("name", "email"):
            self.assertIsNone(self.browser.find_element(By.NAME, name)
                              .get_attribute("aria-describedby"))
        # Filled in, the same form goes through and its confirmation replaces it.
        self.type_into(form, "message", "Now with a message")
        page = self.submit(form, "Thank you, Di")
        self.assertTrue(self.stayed_on_page())
        self.assertIn("di@example.test", page)
        self.assertEqual({self.owner(), "di@example.test"}, set(self.new_mails(2)))

    def test_5_contact_form_without_scripts(self):
        # Without scripts the challenge is never solved: the browser posts the form
        # itself and gets the refusal as a page of its own, and nothing is sent.
        browser = start_browser(self.root / "profile-no-scripts", scripts=False)
        self.addCleanup(browser.quit)
        self.browser = browser
        self.addCleanup(delattr, self, "browser")
        form = self.open_form_with("message")
        self.fill_contact_form(form, "Ed", "ed@example.test", "Sent the old way")
        form_action = form.get_attribute("action")
        self.assertIn("Please Confirm You Are Not a Robot!",
                      self.submit_for_page(form, "Not Processed"))
        self.assertEqual(form_action, self.browser.current_url)
        self.assertIn("Challenge refused: no solution sent", self.installed_file(
            "velloc.log").read_text(errors="replace"))

    def test_6_cross_origin_page_from_an_origin_not_allowed(self):
        # Another host name is another origin, one the settings do not name.
        origin = f"http://localhost:{self.demo.partner_port}"
        answer = self.partner_answer(origin + "/", {"name": "Fay", "email": "fay@example.test",
                                                    "packs": "1", "teas": ["assam"]})
        self.assertIn("refused", answer)
        # The form handler refused the browser's preflight, so the post was never sent.
        log = self.demo.dir / PATHS["log"]
        self.assertTrue(eventually(
            lambda: f"origin not allowed: {origin}\n" in log.read_text(errors="replace"),
            WAIT_SECONDS), log.read_text(errors="replace")[-2000:])
        # No mail: test_7, run next, finds exactly its own.

    def test_7_cross_origin_json(self):
        answer = self.partner_answer(self.demo.partner_url + "/", {
            "name": "Gil", "email": "gil@example.test", "packs": "2",
            "teas": ["sencha", "oolong"]})
        self.assertIn("Thank you", answer)
        mails = self.new_mails(1)
        self.assertEqual([self.owner()], list(mails))
        listing = mails[self.owner()].get_body().get_content()
        # Repeated names joined, the number as it was sent.
        for line in ("NAME:  Gil\n", "EMAIL:  gil@example.test\n", "TEAS:  sencha, oolong\n",
                     "PACKS:  2\n"):
            self.assertIn(line, listing)

    # The site owner's inbox.
    def log_in_to_inbox(self):
        """Opens the inbox the index page links to, with the login the demo printed
        sent by the browser on every request, as after typing it into the dialog."""
        found = re.search(r"\(user (\S+), password (\S+)\)", self.demo.output())
        self.assertTrue(found, self.demo.output())
        login = base64.b64encode(f"{found[1]}:{found[2]}".encode()).decode()
        self.browser.execute_cdp_cmd("Network.enable", {})
        self.browser.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                                     {"headers": {"Authorization": "Basic " + login}})
        self.browser.get(self.demo.url + PATHS["index"])
        self.browser.find_element(By.LINK_TEXT, "The inbox").click()
        self.wait_for(lambda b: b.find_elements(By.CSS_SELECTOR, "form.filters"),
                      "the inbox's filters")

    def search_inbox(self, text, status=""):
        """The rows the inbox lists for `text` typed into its search box."""
        form = self.browser.find_element(By.CSS_SELECTOR, "form.filters")
        self.type_into(form, "q", text)
        Select(form.find_element(By.NAME, "status")).select_by_value(status)
        self.mark_page()
        form.find_element(By.CSS_SELECTOR, '[type="submit"]').click()
        self.await_new_page("form.filters", "the search's page")
        return self.browser.find_elements(By.CSS_SELECTOR, "tr.submission")

    def await_new_page(self, selector, what):
        """Waits until the browser shows a page other than the one marked, with an
        element `selector`."""
        return self.wait_for(lambda b: not b.execute_script("return window.markedByTest === true;")
                             and b.find_element(By.CSS_SELECTOR, selector), what)

    def open_only_row(self, rows, text):
        """Opens the one row found, a survey answer; its fields, which hold `text`."""
        self.assertEqual(1, len(rows), [row.text for row in rows])
        self.assertIn("survey", rows[0].text)
        rows[0].find_element(By.CSS_SELECTOR, 'a[href*="inbox/submission/"]').click()
        fields = self.wait_for(lambda b: b.find_element(By.CSS_SELECTOR, "dl.fields"),
                               "the submission's fields")
        self.assertIn(text, fields.text)
        return fields

    def click_action(self, name):
        """Clicks the button of the action whose form posts to .../`name`."""
        self.mark_page()
        self.browser.find_element(
            By.CSS_SELECTOR, f'form[action$="/{name}"] [type="submit"]').click()

    def send_survey(self, comments, as_robot=False):
        form = self.open_form_with("favourite")
        self.type_into(form, "comments", comments)
        if as_robot:  # what a robot does: it fills in the field hidden from people
            self.browser.execute_script(
                "document.querySelector('input[name=\"website\"]').value = 'http://spam.test/';")
        self.submit(form, "Form Sent Successfully")

    def download_csv(self, folder):
        """Clicks the list's CSV download; the rows of the file it saved."""
        self.browser.execute_cdp_cmd("Browser.setDownloadBehavior",
                                     {"behavior": "allow", "downloadPath": str(folder)})
        self.browser.find_element(By.CSS_SELECTOR, 'a[href*="export.csv"]').click()
        saved = lambda: [p for p in folder.glob("*.csv")]  # noqa: E731
        self.assertTrue(eventually(lambda: saved() and not list(folder.glob("*.crdownload")),
                                   WAIT_SECONDS), list(folder.iterdir()))
        return list(csv.reader(io.StringIO(saved()[0].read_text(encoding="utf-8-sig"))))

    def test_8_inbox(self):
        note = "Inbox test: smoky lapsang, please stock it"
        self.send_survey(note)
        self.assertIn(note, self.new_mails(1)[self.owner()].get_body().get_content())
        robot_note = "Inbox test: cheap pills at spam.test"
        self.send_survey(robot_note, as_robot=True)

        self.log_in_to_inbox()
        if SCREENSHOTS:
            self.browser.set_window_size(1100, 820)
            self.browser.save_screenshot(str(Path(SCREENSHOTS) / "inbox-list.png"))
        self.open_only_row(self.search_inbox(note), note)
        if SCREENSHOTS:
            self.browser.save_screenshot(str(Path(SCREENSHOTS) / "inbox-submission.png"))
        self.browser.back()
        downloads = self.root / "downloads"
        downloads.mkdir()
        rows = self.download_csv(downloads)
        self.assertEqual(2, len(rows), rows)  # the header and the one submission found
        self.assertIn(note, rows[1])

        # The robot's answer is in the spam; released, it runs its actions.
        self.open_only_row(self.search_inbox(robot_note, "spam"), robot_note)
        self.click_action("release")
        self.await_new_page("dl.fields", "the submission page after the release")
        self.assertEqual([], self.browser.find_elements(By.CSS_SELECTOR,
                                                        'form[action$="/release"]'))
        # Only now, and only this one: spam runs no action until it is released.
        mail = self.new_mails(1)[self.owner()]
        self.assertIn(robot_note, mail.get_body().get_content())

        # Deleted, the first answer is found no more.
        self.browser.get(self.demo.url + PATHS["index"])
        self.browser.find_element(By.LINK_TEXT, "The inbox").click()
        self.open_only_row(self.search_inbox(note), note)
        self.click_action("delete")
        self.await_new_page("form.filters", "the list after the delete")
        self.assertEqual([], self.search_inbox(note))
        self.assertIn("Inbox: delete by owner of submission ",
                      self.installed_file("velloc.log").read_text(errors="replace"))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
