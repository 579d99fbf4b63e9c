#include "velloc/mail/header_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

using testing_support::logged_messages;
using testing_support::TempDir;

class HeaderFileTest : public ::testing::Test {
 protected:
  HeaderFileTest() {
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    message.temp_dir = dir.path();
    message.header_file = dir.file("header.txt");
  }
  void write_header(const std::string& text) { dir.write("header.txt", text); }
  std::string log() { return logged_messages(message.log_file); }

  TempDir dir;
  MailMessage message;
};

TEST(HeaderLineTest, LookupTakesValueAfterTheCharacterEndingTheName) {
  auto pair = parse_lookup_line("  :From:   Jo Doe <jo@x.org>\r\n");
  ASSERT_TRUE(pair);
  EXPECT_EQ("From", pair->name);
  EXPECT_EQ("Jo Doe <jo@x.org>", pair->value);
  EXPECT_EQ(": x", parse_lookup_line("From : x\n")->value);
  EXPECT_EQ("\tx", parse_lookup_line("From:\tx\n")->value);
  EXPECT_EQ("", parse_lookup_line("From:\n")->value);
  EXPECT_FALSE(parse_lookup_line("From:"));
  EXPECT_FALSE(parse_lookup_line("From"));
  EXPECT_FALSE(parse_lookup_line(" :: \r\n"));
}

TEST(HeaderLineTest, PairsOfLinesWithoutNameAreNone) {
  auto pair = parse_header_pair("Subject:  two  words \r\n");
  ASSERT_TRUE(pair);
  EXPECT_EQ("Subject", pair->name);
  EXPECT_EQ("two  words ", pair->value);
  EXPECT_EQ("", parse_header_pair("Subject")->value);
  EXPECT_FALSE(parse_header_pair("\n"));
  EXPECT_FALSE(parse_header_pair(":: : \r\n"));
  EXPECT_FALSE(parse_header_pair(""));
}

TEST(HeaderLineTest, NextPairPassesOverNamelessLines) {
  std::istringstream file("From: a@x\n\n : :\nTo: b@x\r\n");
  std::string name, value;
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ("From", name);
  EXPECT_EQ("a@x", value);
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ("To", name);
  EXPECT_EQ("b@x", value);
  EXPECT_FALSE(next_header_pair(file, name, value));
}

TEST(HeaderLineTest, LongLineComesInPiecesOf1999) {
  std::istringstream file("Subject: " + std::string(2500, 'a') + "\n");
  std::string name, value;
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ(1999u - 9u, value.size());
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ(std::string(2500 - 1990, 'a'), name);
}

TEST(SenderTest, PicksTheMailboxOutOfTheValue) {
  EXPECT_EQ("jo@x.org", sender_from_header_value("Jo Doe <jo@x.org>"));
  EXPECT_EQ(" jo@x.org ", sender_from_header_value(" jo@x.org "));
  EXPECT_EQ("", sender_from_header_value("<>"));
  EXPECT_EQ("<c@x", sender_from_header_value("a>b<c@x"));
  EXPECT_EQ("a<b", sender_from_header_value("a<b"));
}

TEST(RecipientsTest, SplitsAtCommasAndSemicolons) {
  EXPECT_EQ((std::vector<std::string>{"a@x", "b@x", "c@x"}),
            recipients_from_header_value(" a@x, b@x;Jo Doe <c@x> "));
  EXPECT_TRUE(recipients_from_header_value(" , ;\t;").empty());
  EXPECT_EQ((std::vector<std::string>{"d>e<f@x"}), recipients_from_header_value(" d>e<f@x "));
  EXPECT_EQ((std::vector<std::string>{" spaced @x"}), recipients_from_header_value("< spaced @x>"));
}

TEST_F(HeaderFileTest, LookupIgnoresCaseButNotPrefixes) {
  write_header("Fromage: cheese\nFROM: first@x\nFrom: second@x\n");
  std::string value;
  ASSERT_TRUE(find_header_value(message, "from", value));
  EXPECT_EQ("first@x", value);
  EXPECT_FALSE(find_header_value(message, "Fro", value));
  message.header_file = dir.file("missing.txt");
  EXPECT_FALSE(find_header_value(message, "From", value));
}

TEST_F(HeaderFileTest, SenderPrecedence) {
  SessionResult failure = SessionResult::kSent;
  std::string sender;
  write_header("From: Jo <from@x>\nHidden-Sender: hidden@x\nx-sender: xs@x\n");
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ("xs@x", sender);
  write_header("Hidden-Sender: hidden@x\nFrom: Jo <from@x>\n");
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ("from@x", sender);
  write_header("From: \nHidden-Sender: hidden@x\n");
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ("hidden@x", sender);
  write_header("To: a@x\n");
  message.default_sender = "default@x";
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ("default@x", sender);
  message.default_sender.clear();
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ(kFallbackSender, sender);
}

TEST_F(HeaderFileTest, EmptyAngleBracketsAreFatal) {
  write_header("From: <>\nTo: a@x\n");
  SessionResult failure = SessionResult::kSent;
  std::string sender;
  EXPECT_FALSE(resolve_sender(message, sender, &failure));
  EXPECT_EQ(SessionResult::kFailed, failure);
  EXPECT_EQ("Fatal Error: No Sender Specified.\n", log());
}

TEST_F(HeaderFileTest, SenderIsCutTo259Characters) {
  write_header("From: " + std::string(400, 's') + "\n");
  SessionResult failure = SessionResult::kSent;
  std::string sender;
  ASSERT_TRUE(resolve_sender(message, sender, &failure));
  EXPECT_EQ(std::string(259, 's'), sender);
}

TEST_F(HeaderFileTest, RecipientListTakesToCcBccAndHiddenTo) {
  write_header(
      "From: f@x\nTo: a@x, Jo <b@x>;c@x\nSubject: s@x\ncc: d@x\nBcc: , e@x\n"
      "hidden-to: g@x\n\nX-To: no@x\n");
  SessionResult failure = SessionResult::kSent;
  ASSERT_TRUE(build_recipient_list(message, &failure));
  EXPECT_EQ(0u, message.recipient_file.find(dir.path() + "/BRN"));
  EXPECT_EQ("a@x\nb@x\nc@x\nd@x\ne@x\ng@x\n", testing_support::read_file(message.recipient_file));
  EXPECT_EQ("VLAPI - TEMP FILE '" + message.recipient_file + "'\n", log());
}

TEST_F(HeaderFileTest, UnreadableHeaderFileEndsTheSession) {
  message.header_file = dir.file("missing.txt");
  SessionResult failure = SessionResult::kSent;
  EXPECT_FALSE(build_recipient_list(message, &failure));
  EXPECT_EQ(SessionResult::kFailed, failure);
  EXPECT_NE(std::string::npos, log().find("Cannot open Header File."));
}

TEST_F(HeaderFileTest, TempFileThatCannotBeMadeGivesResult4) {
  message.temp_dir = dir.file("no/such/dir");
  std::string path;
  SessionResult failure = SessionResult::kSent;
  EXPECT_FALSE(make_session_temp_file(message, path, &failure));
  EXPECT_EQ(SessionResult::kNoRecipientList, failure);
  EXPECT_EQ("Could not Create temporary file, please specify path for TEMP files.", log());
}

TEST_F(HeaderFileTest, EmptyTempDirUsesTheSystemTemporaryDirectory) {
  const char* saved = std::getenv("TMPDIR");
  std::string saved_value = saved ? saved : "";
  setenv("TMPDIR", dir.path().c_str(), 1);
  message.temp_dir.clear();
  std::string path;
  SessionResult failure = SessionResult::kSent;
  bool made = make_session_temp_file(message, path, &failure);
  if (saved) {
    setenv("TMPDIR", saved_value.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  ASSERT_TRUE(made);
  EXPECT_EQ(0u, path.find(dir.path() + "/BRN"));
  EXPECT_TRUE(testing_support::read_file(path).empty());
}

}  // namespace
