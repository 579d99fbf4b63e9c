#include "velloc/mail/mail_steps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "platform/regular_file.h"
#include "platform/temp_file.h"
#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "tests/support/mime_boundary.h"
#include "tests/support/scripted_smtp_server.h"
#include "velloc/guard/form_profile.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::TempDir;

TEST(HeaderTextTest, FirstSenderAllRecipientsAndNoAddedHeaderLines) {
  CgiRequest request;
  request.set_field("EMAIL", " ,jo@x.test, other@x.test");
  request.set_field("RECIPIENT", "a@x.test b@x.test,c@x.test;d@x.test^e@x.test");
  request.set_field("SUBJECT", " Order; 12, please ");
  EXPECT_EQ(
      "From: jo@x.test\nTo: a@x.test, b@x.test, c@x.test, d@x.test, e@x.test\n"
      "Subject:  Order; 12, please \n",
      build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT"));
  request.set_field("EMAIL", "jo@x.test\r\nBCC: victim@x.test");
  request.set_field("SUBJECT", "Hi\r\nBCC: victim@x.test\nX: y");
  request.set_field("RECIPIENT", "a@x.test\nCC: victim@x.test");
  EXPECT_EQ(
      "From: jo@x.test\nTo: a@x.test, CC:, victim@x.test\n"
      "Subject: Hi  BCC: victim@x.test X: y\n",
      build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT"));
  // A value long enough to spill into a second piece of the header file is cut instead.
  request.set_field("SUBJECT", std::string(1989, 'x') + "BCC: victim@x.test");
  std::string text = build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT");
  std::string subject = text.substr(text.find("Subject: "));
  EXPECT_EQ("Subject: " + std::string(1989, 'x') + "\n", subject);
}

TEST(HeaderTextTest, CleanAddressesWholeInTheLineAndOneReceiptRecipient) {
  CgiRequest request;
  request.set_field("EMAIL", "\x01<v1@x.test>\t, v2@x.test");
  request.set_field("RECEIPT_FROM", "\t ,");
  EXPECT_EQ("From: \nTo: v1@x.test\nSubject: \n",
            build_header_text(request, "RECEIPT_FROM", "EMAIL", "RECEIPT_SUBJECT",
                              Recipients::kFirstOnly));
  // A list too long for one line goes on further To lines, every address whole.
  std::string many;
  for (int i = 0; i < 200; ++i) many += "owner" + std::to_string(i) + "@x.test ";
  request.set_field("RECIPIENT", many);
  std::string text = build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT");
  std::string to = text.substr(text.find("To: "), text.find("Subject") - text.find("To: "));
  EXPECT_EQ("To: owner0@x.test, ", to.substr(0, 19));
  EXPECT_TRUE(to.ends_with(", owner199@x.test\n")) << to.substr(to.size() - 20);
  std::size_t second = to.find('\n') + 1;
  EXPECT_LE(second, 1999u);
  EXPECT_GT(second, 1980u);
  EXPECT_EQ("To: owner", to.substr(second, 9));
  EXPECT_EQ(std::string::npos, to.find(", \n"));
}

class MailStepsTest : public ::testing::Test {
 protected:
  MailStepsTest() : run(site) {
    run.message.log_file = dir.file("velloc.log");
    run.message.log_level = 15;
    run.message.temp_dir = dir.file("tmp");
    run.message.local_host = "client.test";
    run.message.smtp_server = server.address();
    std::filesystem::create_directories(dir.file("tmp"));
    run.request.set_field("EMAIL", "jo@x.test");
    run.request.set_field("RECIPIENT", "owner@x.test");
    run.request.set_field("SUBJECT", "Form");
    run.request.set_field("NAME", "Jo");
  }
  ~MailStepsTest() override { std::filesystem::current_path(saved_directory); }
  bool temp_dir_empty() { return std::filesystem::is_empty(dir.file("tmp")); }
  std::string log() { return testing_support::logged_messages(run.message.log_file); }
  // The body part of the last message received.
  std::string received_body() {
    std::string message = testing_support::with_fixed_boundary(server.message());
    std::size_t start = message.find("7bit\r\n\r\n");
    std::size_t end = message.find("\r\n\r\n\r\n--divider");
    if (start == std::string::npos || end == std::string::npos) return "<no body>";
    return message.substr(start + 8, end - start - 8);
  }
  // The text of the failure page with which `step` ends the run.
  template <typename Step>
  static std::string failure_text(Step step) {
    try {
      step();
    } catch (const RunEnded& ended) {
      return ended.answer.message;
    }
    ADD_FAILURE() << "the run did not end";
    return {};
  }

  // A stand-in for the encryption program, in its own directory.
  void install_pgp(const std::string& script) {
    dir.write("pgp/pgp", "#!/bin/sh\n" + script);
    chmod(dir.file("pgp/pgp").c_str(), 0755);
    run.settings.pgp_directory = dir.file("pgp") + "/";
  }

  TempDir dir;
  ScriptedSmtpServer server;
  std::ostringstream page;
  Site site{read_process_facts()};
  ::Run run;
  std::filesystem::path saved_directory = std::filesystem::current_path();
};

TEST_F(MailStepsTest, FormMailTakesThePendingAttachmentAndTheReceiptDoesNot) {
  dir.write("files/report.txt", "report");
  run.template_state.pending_attachment = dir.file("files/report.txt");
  run.request.set_field("DO_RECEIPT", "1");
  EXPECT_EQ(1, send_form_mail(run));
  EXPECT_EQ("RCPT TO: <owner@x.test>", server.commands().at(2));
  EXPECT_NE(std::string::npos, server.message().find("NAME:  Jo\r\n"));
  EXPECT_NE(std::string::npos, server.message().find("filename=\"report.txt\""));
  EXPECT_EQ(1, send_receipt(run));
  EXPECT_EQ("RCPT TO: <jo@x.test>", server.commands().at(7));
  EXPECT_EQ(std::string::npos, server.message().find("filename="));
  EXPECT_TRUE(dir.exists("files/report.txt"));
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_EQ("", page.str());
}

// The plain listing of the same fields without a profile, and with one whose
// entries they are: the profile's entries steer the run and are not listed; the
// receipt number given, the visitor's address and fields are.
TEST_F(MailStepsTest, ThePlainListingLeavesOutAProfilesEntries) {
  run.request.set_field("TEMPLATE_WEB", "thanks.htm");
  run.request.set_field("DO_RECEIPT", "1");
  run.request.set_field("RECEIPT_FROM", "shop@x.test");
  run.request.set_field("RECEIPT_NUMBER", "42");
  struct Case {
    ProfileEntries profile;
    std::string body;
  };
  const Case cases[] = {
      {{},
       "RECEIPT_FROM:  shop@x.test\r\nEMAIL:  jo@x.test\r\nDO_RECEIPT:  1\r\nNAME:  Jo\r\n"
       "RECEIPT_NUMBER:  42\r\nTEMPLATE_WEB:  thanks.htm\r\n"},
      {{{"template_web", "thanks.htm"},
        {"DO_RECEIPT", "1"},
        {"RECEIPT_FROM", "shop@x.test"},
        {"RECEIPT_NUMBER", "1"},
        {"RECIPIENT", "owner@x.test"},
        {"Archive", "1"},
        {"NAME", "not a control field"}},
       "EMAIL:  jo@x.test\r\nNAME:  Jo\r\nRECEIPT_NUMBER:  42\r\n"},
  };
  for (const Case& c : cases) {
    run.settings.form_profile = c.profile;
    EXPECT_EQ(1, send_form_mail(run));
    EXPECT_EQ(c.body, received_body());
  }
}

TEST_F(MailStepsTest, EveryRecipientOfALongListGetsTheMailInLinesWithinTheLimit) {
  std::string many;
  for (int i = 0; i < 200; ++i)
    many += "owner-" + std::string(40, 'a') + std::to_string(i) + "@x.test, ";
  run.request.set_field("RECIPIENT", many);
  std::optional<platform::TempFile> upload =
      platform::TempFile::create(dir.file("tmp/"), "UPL", nullptr);
  ASSERT_TRUE(upload);
  ASSERT_TRUE(platform::write_all(upload->fd(), "notes", 5));
  run.request.uploads.push_back({"FILE", "notes.txt", upload->path(), 5, "notes"});
  // A file put in place of the upload's name is never what goes out.
  std::string planted = upload->path();
  std::filesystem::remove(planted);
  dir.write(planted.substr(dir.path().size() + 1), "other");
  run.request.upload_files.add(std::move(*upload));
  EXPECT_EQ(1, send_form_mail(run));
  std::vector<std::string> commands = server.commands();
  ASSERT_GE(commands.size(), 202u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ("RCPT TO: <owner-" + std::string(40, 'a') + std::to_string(i) + "@x.test>",
              commands.at(2 + i));
  std::string message = server.message();
  std::size_t to = message.find("\r\nTo: ");
  std::size_t to_end = message.find("\r\nSubject: ");
  ASSERT_LT(to, to_end);
  EXPECT_EQ(std::string::npos, message.find("\r\nTo: ", to + 2));
  EXPECT_NE(std::string::npos, message.find("a199@x.test", to));
  EXPECT_LT(message.find("a199@x.test", to), to_end);
  for (std::size_t at = 0, end = 0; at < message.size(); at = end + 2) {
    end = std::min(message.find("\r\n", at), message.size());
    EXPECT_LE(end - at, 998u);
  }
  EXPECT_NE(std::string::npos, message.find("bm90ZXM="));  // "notes", base64
  EXPECT_EQ(std::string::npos, message.find("b3RoZXI="));  // "other"
  run.request.upload_files.delete_all();
  std::filesystem::remove(planted);
  EXPECT_TRUE(temp_dir_empty());
}

// The sender of the form mail and the receipt, in the envelope and the header: a value
// that is no address gives way to DEFAULTSENDER, and only an address gets Reply-To.
TEST_F(MailStepsTest, SenderThatIsNoAddressGivesWayToTheSite) {
  struct Case {
    const char* email;
    const char* receipt_from;
    bool visitor_reply_to;
    const char* form_mail;  // MAIL FROM and the From and Reply-To lines
    const char* receipt;
  };
  const Case cases[] = {
      {"jo@x.test", "shop@site.test", false, "<jo@x.test>|From: jo@x.test|",
       "<shop@site.test>|From: shop@site.test|"},
      {"jo@x.test", "", true, "<forms@site.test>|From: forms@site.test|Reply-To: jo@x.test",
       "<forms@site.test>|From: forms@site.test|"},
      {"VellocPro", "VellocPro", false, "<forms@site.test>|From: forms@site.test|",
       "<forms@site.test>|From: forms@site.test|"},
      {"VellocPro", "", true, "<forms@site.test>|From: forms@site.test|",
       "<forms@site.test>|From: forms@site.test|"},
  };
  run.message.default_sender = "forms@site.test";
  run.request.set_field("DO_RECEIPT", "1");
  auto sent = [&](std::size_t mail_from) {
    std::string message = server.message();
    auto line = [&](const std::string& name) {
      std::size_t at = message.find("\r\n" + name + ": ");
      return at == std::string::npos
                 ? std::string()
                 : message.substr(at + 2, message.find("\r\n", at + 2) - at - 2);
    };
    return server.commands().at(mail_from).substr(std::string_view("MAIL FROM: ").size()) + "|" +
           line("From") + "|" + line("Reply-To");
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.email);
    run.request.set_field("EMAIL", c.email);
    run.request.set_field("RECEIPT_FROM", c.receipt_from);
    run.settings.visitor_reply_to = c.visitor_reply_to;
    std::size_t first = server.commands().size();
    send_form_mail(run);
    EXPECT_EQ(c.form_mail, sent(first + 1));
    std::size_t second = server.commands().size();
    send_receipt(run);
    EXPECT_EQ(c.receipt, sent(second + 1));
  }
}

TEST_F(MailStepsTest, DisabledMailSendsNothingButTheReceiptGoes) {
  run.request.set_field("DISABLE_MAIL", "1");
  run.request.set_field("DO_RECEIPT", "1");
  EXPECT_EQ(1, send_form_mail(run));
  EXPECT_TRUE(server.commands().empty());
  EXPECT_EQ(1, send_receipt(run));
  EXPECT_EQ("RCPT TO: <jo@x.test>", server.commands().at(2));
}

TEST_F(MailStepsTest, MissingTemplatesAreToldInTheBody) {
  run.request.set_field("TEMPLATE_MAIL", "mail.txt");
  run.request.set_field("TEMPLATE_RECEIPT", "receipt.txt");
  run.request.set_field("DO_RECEIPT", "1");
  run.templates.mail_template = "missing\\mail.txt";
  run.templates.receipt_template = "missing\\receipt.txt";
  send_form_mail(run);
  EXPECT_EQ("Could not open Template File: \r\n\tmissing\\mail.txt\r\n", received_body());
  EXPECT_EQ(std::string::npos, log().find("Could not open Receipt"));
  send_receipt(run);
  EXPECT_EQ("Could not open Template File: \r\n\tmissing\\receipt.txt", received_body());
  EXPECT_NE(std::string::npos,
            log().find("Could not open Receipt Template File: missing\\receipt.txt\n"));
}

TEST_F(MailStepsTest, SettingsFilesNamedAsTemplatesAreNeverMailed) {
  dir.write("t/orders_db.ini", "[DATABASE]\nPASSWORD=secret\n");
  run.request.set_field("TEMPLATE_MAIL", "orders_db.ini");
  run.request.set_field("TEMPLATE_RECEIPT", "ORDERS_DB.INI");
  run.request.set_field("DO_RECEIPT", "1");
  run.templates.mail_template = dir.file("t/orders_db.ini");
  run.templates.receipt_template = dir.file("t/ORDERS_DB.INI");
  send_form_mail(run);
  EXPECT_EQ("Could not open Template File: \r\n\t" + run.templates.mail_template + "\r\n",
            received_body());
  send_receipt(run);
  EXPECT_EQ("Could not open Template File: \r\n\t" + run.templates.receipt_template,
            received_body());
}

TEST_F(MailStepsTest, FailedSendOrTemporaryFileEndsTheRunWithTheFailurePage) {
  run.request.set_field("RECIPIENT", "");
  page.str(failure_text([&] { send_form_mail(run); }));
  EXPECT_NE(std::string::npos,
            page.str().find("Error Sending Email!  Check log file for specific error!\n"));
  EXPECT_TRUE(temp_dir_empty());
  run.message.temp_dir = dir.file("no/such/dir");
  page.str(failure_text([&] { send_form_mail(run); }));
  EXPECT_NE(std::string::npos, page.str().find("Could not Create Temporary File!"));
  EXPECT_EQ(2u, server.commands().size());  // the first attempt's HELO and MAIL only
}

TEST_F(MailStepsTest, EncryptedBodyIsTheProgramsOutput) {
  install_pgp(
      "echo \"$#|$1|$2|$(basename \"$PWD\")\"\necho \"${HTTP_PROXY-none}|$LC_ALL\"\n"
      "tr a-z A-Z\n");
  run.request.set_field("PGP_TARGET", "owner key; touch pwned");
  run.request.environment.set("HTTP_PROXY", "http://evil.test:3128");
  run.request.environment.set("LC_ALL", "C");
  std::filesystem::current_path(dir.path());
  send_form_mail(run);
  std::string body = received_body();
  EXPECT_EQ(0u, body.find("2|-feat|owner key; touch pwned|pgp\r\nnone|C\r\n")) << body;
  EXPECT_NE(std::string::npos, body.find("NAME:  JO\r\n"));
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_TRUE(dir.exists("PGP.LOG"));
}

TEST_F(MailStepsTest, FailingEncryptionMailsNothing) {
  struct Case {
    std::string script;  // none: no program at all
    std::string page_text;
    std::string pgp_log;
  };
  const Case cases[] = {
      {"echo partial\necho 'no such key' >&2\nexit 2\n",
       "Encryption Failed With Exit Code (2) (" + dir.file("pgp") + "/pgp -feat nobody)",
       "no such key\n"},
      {"", "Error Number (2) (" + dir.file("pgp") + "/pgp -feat nobody)", ""},
      // The wait is fixed: this case takes its full 15 seconds.
      {"exec sleep 60\n", "Encryption Did Not Finish In Time (15 seconds)", ""},
  };
  run.request.set_field("PGP_TARGET", "nobody");
  std::filesystem::current_path(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page_text);
    std::filesystem::remove_all(dir.file("pgp"));
    std::filesystem::remove(dir.file("PGP.LOG"));
    if (c.script.empty()) {
      run.settings.pgp_directory = dir.file("pgp") + "/";
    } else {
      install_pgp(c.script);
    }
    page.str("");
    page.str(failure_text([&] { send_form_mail(run); }));
    EXPECT_NE(std::string::npos, page.str().find(c.page_text)) << page.str();
    EXPECT_EQ(c.pgp_log, dir.read("PGP.LOG"));
    EXPECT_TRUE(temp_dir_empty());
  }
  EXPECT_TRUE(server.commands().empty());
}

}  // namespace
