#include "velloc/mail/header_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

TEST(HeaderLineTest, NameEndsAtItsFirstSeparator) {
  const std::tuple<bool, std::string, std::string> cases[] = {
      // parse_lookup_line when true, else parse_header_pair; "name|value" or "none"
      {true, "  :From:   Jo Doe <jo@x.org>\r\n", "From|Jo Doe <jo@x.org>"},
      {true, "From : x\n", "From|: x"},
      {true, "From:\tx\n", "From|\tx"},
      {true, "From:\n", "From|"},
      {true, "From:", "none"},
      {true, " :: \r\n", "none"},
      {false, "Subject:  two  words \r\n", "Subject|two  words "},
      {false, "Subject", "Subject|"},
      {false, ":: : \r\n", "none"},
  };
  for (const auto& [lookup, line, expected] : cases) {
    auto pair = lookup ? parse_lookup_line(line) : parse_header_pair(line);
    EXPECT_EQ(expected, pair ? pair->name + "|" + pair->value : "none") << line;
  }
  std::istringstream file("From: a@x\n\n : :\nSubject: " + std::string(2500, 'a') + "\n");
  std::string name, value;
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ("From|a@x", name + "|" + value);
  ASSERT_TRUE(next_header_pair(file, name, value));  // passes over the nameless lines
  EXPECT_EQ("Subject|" + std::string(1990, 'a'), name + "|" + value);  // pieces of 1999
  ASSERT_TRUE(next_header_pair(file, name, value));
  EXPECT_EQ(std::string(510, 'a'), name);
  EXPECT_FALSE(next_header_pair(file, name, value));
}

TEST(HeaderValueTest, SenderAndRecipientsOutOfTheValue) {
  const std::pair<std::string, std::string> senders[] = {{"Jo Doe <jo@x.org>", "jo@x.org"},
                                                         {" jo@x.org ", " jo@x.org "},
                                                         {"<>", ""},
                                                         {"a>b<c@x", "<c@x"},
                                                         {"a<b", "a<b"}};
  for (const auto& [value, sender] : senders) EXPECT_EQ(sender, sender_from_header_value(value));
  const std::pair<std::string, std::string> recipients[] = {
      {" a@x, b@x;Jo Doe <c@x> ", "a@x|b@x|c@x|"},
      {" , ;\t;", ""},
      {" d>e<f@x ", "d>e<f@x|"},
      {"< spaced @x>", " spaced @x|"}};
  for (const auto& [value, expected] : recipients) {
    std::string joined;
    for (const std::string& recipient : recipients_from_header_value(value))
      joined += recipient + "|";
    EXPECT_EQ(expected, joined) << value;
  }
}

class HeaderFileTest : public ::testing::Test {
 protected:
  HeaderFileTest() {
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    message.temp_dir = dir.path();
    message.header_file = dir.file("header.txt");
  }
  std::string log() { return testing_support::logged_messages(message.log_file); }

  testing_support::TempDir dir;
  MailMessage message;
  SessionResult failure = SessionResult::kSent;
};

TEST_F(HeaderFileTest, SenderPrecedenceWithNamesInAnyCase) {
  const std::string longest_sender = std::string(64, 's') + "@" + std::string(189, 'd');
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // header file, default sender, sender
      {"From: Jo <from@x>\nHidden-Sender: hidden@x\nx-sender: xs@x\n", "", "xs@x"},
      {"Fromage: no@x\nHidden-Sender: hidden@x\nFROM: Jo <from@x>\nFrom: no@x\n", "", "from@x"},
      {"From: \nhidden-sender: hidden@x\n", "", "hidden@x"},
      {"To: a@x\n", "default@x", "default@x"},
      {"To: a@x\n", "", kFallbackSender},
      {"From: " + longest_sender + "\n", "", longest_sender},  // never cut
  };
  for (const auto& [header, default_sender, expected] : cases) {
    dir.write("header.txt", header);
    message.default_sender = default_sender;
    std::string sender;
    ASSERT_TRUE(resolve_sender(message, sender, &failure)) << header;
    EXPECT_EQ(expected, sender) << header;
  }
}

TEST_F(HeaderFileTest, RecipientListTakesToCcBccAndHiddenTo) {
  dir.write("header.txt",
            "From: f@x\nTo: a@x, Jo <b@x>;c@x\nSubject: s@x\ncc: d@x\nBcc: , e@x\n"
            "hidden-to: g@x\n\nX-To: no@x\nTo: h@x, i@x\n");
  ASSERT_TRUE(build_recipient_list(message, &failure));
  EXPECT_EQ(0u, message.recipient_file.find(dir.path() + "/BRN"));
  EXPECT_EQ("a@x\nb@x\nc@x\nd@x\ne@x\ng@x\nh@x\ni@x\n",
            testing_support::read_file(message.recipient_file));
  EXPECT_EQ("VLAPI - TEMP FILE '" + message.recipient_file + "'\n", log());
  // The list lives as long as the record holds it, and no longer.
  std::string list = message.recipient_file;
  message.recipient_list.reset();
  EXPECT_FALSE(std::filesystem::exists(list));

  message.header_file = dir.file("missing.txt");
  EXPECT_FALSE(build_recipient_list(message, &failure));
  EXPECT_EQ(SessionResult::kFailed, failure);
  EXPECT_NE(std::string::npos, log().find("Cannot open Header File."));
}

}  // namespace
