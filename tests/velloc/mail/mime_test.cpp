#include "velloc/mail/mime.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

using testing_support::TempDir;

std::string written(std::initializer_list<std::string_view> texts) {
  StringSink sink;
  ContentWriter writer(sink);
  for (std::string_view text : texts) writer.write(text);
  return sink.text;
}

std::string base64_of(const std::string& bytes) {
  StringSink sink;
  ContentWriter writer(sink);
  std::istringstream input(bytes);
  encode_base64(input, writer);
  return sink.text;
}

TEST(ShownNameTest, TextAfterTheLastSeparator) {
  EXPECT_EQ("report.pdf", attachment_shown_name("C:\\files\\report.pdf"));
  EXPECT_EQ("c.txt", attachment_shown_name("a/b\\c.txt"));
  EXPECT_EQ("c.txt", attachment_shown_name("/srv/files/c.txt"));
  EXPECT_EQ("C:\\files\\", attachment_shown_name("C:\\files\\"));
  EXPECT_EQ("plain.txt", attachment_shown_name("plain.txt"));
  EXPECT_EQ("/srv/", attachment_shown_name("/srv/"));
}

TEST(ContentWriterTest, EveryLineEndLeavesAsCrLf) {
  EXPECT_EQ("a\r\n\r\nb\r\nc", written({"a\n", "\n", "b\r\n", "c"}));
  EXPECT_EQ("\r\n--divider--\r\n", written({"\r\n--divider--\r\n"}));
  EXPECT_EQ("ab\r\n", written({"a\rb\n"}));
}

TEST(ContentWriterTest, EveryLineBeginningWithADotGetsAnother) {
  EXPECT_EQ("..\r\n", written({".\n"}));
  EXPECT_EQ("..\r\n", written({".\r\n"}));
  EXPECT_EQ("..signature\r\n", written({".signature\n"}));
  EXPECT_EQ("x\r\n..\r\n...\r\n", written({"x\n.\n", "..\n"}));
  EXPECT_EQ("abc.x\r\n", written({"abc", ".x\n"}));
  EXPECT_EQ("..", written({"."}));
}

TEST(Base64Test, GroupsArePadded) {
  auto group = [](const char* text, std::size_t count) {
    return encode_base64_group(reinterpret_cast<const unsigned char*>(text), count);
  };
  EXPECT_EQ("TWFu", group("Man", 3));
  EXPECT_EQ("TWE=", group("Ma", 2));
  EXPECT_EQ("TQ==", group("M", 1));
  EXPECT_EQ("////", group("\xff\xff\xff", 3));
}

TEST(Base64Test, LinesOf72CharactersAndAFinalLineEnd) {
  EXPECT_EQ("\r\n", base64_of(""));
  EXPECT_EQ("YWJj\r\n", base64_of("abc"));
  std::string line_of_54(54, '\0');
  std::string full_line = std::string(72, 'A') + "\r\n";
  EXPECT_EQ(full_line + "\r\n", base64_of(line_of_54));
  EXPECT_EQ(full_line + "AA==\r\n", base64_of(line_of_54 + '\0'));
  EXPECT_EQ(full_line + full_line + "\r\n", base64_of(std::string(108, '\0')));
}

TEST(Base64Test, LargeInputMatchesAcrossReadChunks) {
  std::string bytes(3 * 18 * 1024 * 2 + 7, 'z');
  std::string text = base64_of(bytes);
  std::size_t groups = (bytes.size() + 2) / 3;
  EXPECT_EQ(groups * 4 + (groups / 18) * 2 + 2, text.size());
  EXPECT_EQ("eg==\r\n", text.substr(text.size() - 6));
}

class MessageContentTest : public ::testing::Test {
 protected:
  MessageContentTest() {
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    message.header_file = dir.file("header.txt");
    message.body_file = dir.file("body.txt");
    dir.write("header.txt", "From: a@x\nTo: b@x, c@x\n\nSubject: Hello\n");
  }
  std::string content(std::span<const MailAttachment> attachments = {}) {
    StringSink sink;
    ContentWriter writer(sink);
    write_message_content(message, writer, attachments);
    return sink.text;
  }
  std::string log() { return testing_support::logged_messages(message.log_file); }

  TempDir dir;
  MailMessage message;
};

constexpr char kHead[] =
    "MIME-Version: 1.0\r\nFrom: a@x\r\nTo: b@x, c@x\r\nSubject: Hello\r\n"
    "Content-Type: multipart/mixed; boundary=\"divider\"\r\n\r\n"
    "--divider\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n\r\n";

TEST_F(MessageContentTest, BodyPartInTheMultipartFrame) {
  dir.write("body.txt", "Line one\n.\n\n.hidden\nlast");
  EXPECT_EQ(
      std::string(kHead) + "Line one\r\n..\r\n\r\n..hidden\r\nlast\r\n\r\n\r\n--divider--\r\n",
      content());
  EXPECT_EQ(
      "MIME-Version: 1.0\nFrom: a@x\nTo: b@x, c@x\nSubject: Hello\nSending Message Body...\n"
      "Line one\n.\n\n.hidden\nlastMessage Body Sent.\n",
      log());
}

TEST_F(MessageContentTest, MissingBodyGivesAnEmptyPart) {
  EXPECT_EQ(std::string(kHead) + "\r\n\r\n\r\n--divider--\r\n", content());
  EXPECT_EQ(std::string::npos, log().find("Message Body Sent."));
}

TEST_F(MessageContentTest, AttachmentPartAfterTheBody) {
  dir.write("body.txt", "Hi\n");
  dir.write("data.bin", "abcd");
  MailAttachment attachments[] = {{dir.file("data.bin"), "data.bin"},
                                  {dir.file("missing.bin"), "missing.bin"}};
  EXPECT_EQ(std::string(kHead) +
                "Hi\r\n\r\n\r\n--divider\r\n"
                "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\nYWJjZA==\r\n"
                "\r\n--divider--\r\n",
            content(attachments));
  std::string logged = log();
  EXPECT_NE(std::string::npos, logged.find("Sending attachment '" + dir.file("data.bin") +
                                           "'...\nAttachment Sent.\n"));
  EXPECT_NE(std::string::npos,
            logged.find("Sending attachment '" + dir.file("missing.bin") +
                        "'...\nCould not open attachment '" + dir.file("missing.bin") + "'\n"));
}

TEST_F(MessageContentTest, DirectoryAsAttachmentIsLeftOut) {
  MailAttachment attachments[] = {{dir.path(), "dir"}};
  EXPECT_EQ(std::string(kHead) + "\r\n\r\n\r\n--divider--\r\n", content(attachments));
}

}  // namespace
