#include "velloc/mail/mail_steps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "tests/support/scripted_smtp_server.h"
#include "velloc/run.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::TempDir;

TEST(HeaderTextTest, FirstSenderAllRecipientsWholeSubject) {
  CgiRequest request;
  request.set_field("EMAIL", " ,jo@x.test, other@x.test");
  request.set_field("RECIPIENT", "a@x.test b@x.test,c@x.test;d@x.test^e@x.test");
  request.set_field("SUBJECT", " Order; 12, please ");
  EXPECT_EQ(
      "From: jo@x.test\nTo: a@x.test, b@x.test, c@x.test, d@x.test, e@x.test\n"
      "Subject:  Order; 12, please \n",
      build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT"));
  EXPECT_EQ("From: \nTo: \nSubject: \n", build_header_text(request, "A", "B", "C"));
}

TEST(HeaderTextTest, LineBreaksInValuesCannotAddHeaderLines) {
  CgiRequest request;
  request.set_field("EMAIL", "jo@x.test\r\nBCC: victim@x.test");
  request.set_field("SUBJECT", "Hi\r\nBCC: victim@x.test\nX: y");
  request.set_field("RECIPIENT", "a@x.test\nCC: victim@x.test");
  EXPECT_EQ(
      "From: jo@x.test\nTo: a@x.test, CC:, victim@x.test\n"
      "Subject: Hi  BCC: victim@x.test X: y\n",
      build_header_text(request, "EMAIL", "RECIPIENT", "SUBJECT"));
}

class MailStepsTest : public ::testing::Test {
 protected:
  MailStepsTest() : run(page) {
    run.message.log_file = dir.file("velloc.log");
    run.message.log_level = 15;
    run.message.temp_dir = dir.file("tmp");
    run.message.local_host = "client.test";
    run.message.smtp_server = server.address();
    dir.write("tmp/.keep", "");
    std::filesystem::remove(dir.file("tmp/.keep"));
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
    std::string message = server.message();
    std::size_t start = message.find("7bit\r\n\r\n");
    std::size_t end = message.find("\r\n\r\n\r\n--divider");
    if (start == std::string::npos || end == std::string::npos) return "<no body>";
    return message.substr(start + 8, end - start - 8);
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
  ::Run run;
  std::filesystem::path saved_directory = std::filesystem::current_path();
};

TEST_F(MailStepsTest, FormMailListsTheFields) {
  EXPECT_EQ(1, send_form_mail(run));
  EXPECT_EQ("RCPT TO: <owner@x.test>", server.commands().at(2));
  EXPECT_NE(std::string::npos, received_body().find("NAME:  Jo\r\n"));
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_EQ("", page.str());
  EXPECT_NE(std::string::npos, log().find("VELLOC - Temporary File '" + dir.file("tmp/VLM")));
}

TEST_F(MailStepsTest, DisabledMailSendsNothingButTheReceiptGoes) {
  run.request.set_field("DISABLE_MAIL", "1");
  run.request.set_field("DO_RECEIPT", "1");
  EXPECT_EQ(1, send_form_mail(run));
  EXPECT_EQ(0, server.connections());
  EXPECT_EQ(1, send_receipt(run));
  EXPECT_EQ(1, server.connections());
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

TEST_F(MailStepsTest, AttachmentGoesWithTheNextMailOnly) {
  dir.write("files/report.txt", "report");
  run.template_state.pending_attachment = dir.file("files/report.txt");
  run.request.set_field("DO_RECEIPT", "1");
  send_form_mail(run);
  EXPECT_NE(std::string::npos, server.message().find("filename=\"report.txt\""));
  EXPECT_EQ("", run.template_state.pending_attachment);
  send_receipt(run);
  EXPECT_EQ(std::string::npos, server.message().find("filename="));
  EXPECT_TRUE(dir.exists("files/report.txt"));
}

TEST_F(MailStepsTest, FailedSendEndsTheRunWithTheFailurePage) {
  run.request.set_field("RECIPIENT", "");
  EXPECT_THROW(send_form_mail(run), RunEnded);
  EXPECT_NE(std::string::npos,
            page.str().find("Error Sending Email!  Check log file for specific error!\n"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(MailStepsTest, UnwritableTemporaryDirectoryEndsTheRun) {
  run.message.temp_dir = dir.file("no/such/dir");
  EXPECT_THROW(send_form_mail(run), RunEnded);
  EXPECT_NE(std::string::npos, page.str().find("Could not Create Temporary File!"));
  EXPECT_EQ(0, server.connections());
}

TEST_F(MailStepsTest, EncryptedBodyIsTheProgramsOutput) {
  install_pgp(
      "[ \"$1\" = -feat ] || exit 9\necho \"key=$2 dir=$(basename \"$PWD\")\"\ntr a-z A-Z\n");
  run.request.set_field("PGP_TARGET", "owner key");
  send_form_mail(run);
  std::string body = received_body();
  EXPECT_EQ(0u, body.find("key=owner key dir=pgp\r\n"));
  EXPECT_NE(std::string::npos, body.find("NAME:  JO\r\n"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(MailStepsTest, TargetNeverReachesAShell) {
  install_pgp("printf '%s|' \"$@\" >> args.txt\ncat\n");
  run.request.set_field("PGP_TARGET", "x; touch pwned");
  std::filesystem::current_path(dir.path());
  send_form_mail(run);
  EXPECT_EQ("-feat|x; touch pwned|", dir.read("pgp/args.txt"));
  EXPECT_FALSE(dir.exists("pwned"));
  EXPECT_FALSE(dir.exists("pgp/pwned"));
  EXPECT_TRUE(dir.exists("PGP.LOG"));
}

TEST_F(MailStepsTest, FailingEncryptionMailsNothing) {
  install_pgp("echo partial\necho 'no such key' >&2\nexit 2\n");
  run.request.set_field("PGP_TARGET", "nobody");
  std::filesystem::current_path(dir.path());
  EXPECT_THROW(send_form_mail(run), RunEnded);
  EXPECT_EQ(0, server.connections());
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_NE(std::string::npos, page.str().find("Encryption Failed With Exit Code (2)"));
  EXPECT_EQ("no such key\n", dir.read("PGP.LOG"));
}

TEST_F(MailStepsTest, MissingEncryptionProgramEndsTheRun) {
  run.settings.pgp_directory = dir.file("nowhere") + "/";
  run.request.set_field("PGP_TARGET", "nobody");
  std::filesystem::current_path(dir.path());
  EXPECT_THROW(send_form_mail(run), RunEnded);
  EXPECT_NE(std::string::npos,
            page.str().find("Error Number (2) (" + dir.file("nowhere") + "/pgp -feat nobody)"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(MailStepsTest, EncryptionThatDoesNotFinishIsStopped) {
  install_pgp("exec sleep 60\n");
  run.request.set_field("PGP_TARGET", "slow");
  std::filesystem::current_path(dir.path());
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(send_form_mail(run), RunEnded);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_NE(std::string::npos, page.str().find("Encryption Did Not Finish In Time"));
  EXPECT_EQ(0, server.connections());
  EXPECT_TRUE(temp_dir_empty());
}

}  // namespace
