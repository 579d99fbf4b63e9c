#include "velloc/mail/mime.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "tests/support/mime_boundary.h"

namespace {

using testing_support::TempDir;

TEST(ShownNameTest, TextAfterTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\files\\report.pdf", "report.pdf"}, {"a/b\\c.txt", "c.txt"}, {"plain.txt", "plain.txt"},
      {"C:\\files\\", "C:\\files\\"},          {"/srv/", "/srv/"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(name, attachment_shown_name(path)) << path;
}

TEST(AttachmentHeadersTest, TypeFromExtensionAndEncodedNonAsciiNames) {
  // clang-format off
  const std::pair<MailAttachment, std::string> cases[] = {
      {{"p", "cv.PDF", content_type_for_name("cv.PDF")},
       "Content-Type: application/pdf; name=\"cv.PDF\"\r\n"
       "Content-Disposition: attachment; filename=\"cv.PDF\"\r\n"},
      {{"p", "run", content_type_for_name("run")},
       "Content-Type: application/octet-stream; name=\"run\"\r\n"
       "Content-Disposition: attachment; filename=\"run\"\r\n"},
      {{"p", "\xC3\xA9t\xC3\xA9 1.odt", content_type_for_name("x.odt")},
       "Content-Type: application/vnd.oasis.opendocument.text; name=\"=?UTF-8?B?w6l0w6kgMS5vZHQ=?=\"\r\n"
       "Content-Disposition: attachment; filename*=UTF-8''%C3%A9t%C3%A9%201.odt\r\n"},
  };
  // clang-format on
  for (const auto& [attachment, headers] : cases)
    EXPECT_EQ(headers, attachment_part_headers(attachment)) << attachment.name;
}

TEST(AttachmentHeadersTest, NameTooLongForOneLineGoesInContinuations) {
  std::string name = std::string(1019, 'a') + "\xC3\xA9.pdf";
  std::string segments;
  for (int index = 0; index < 16; ++index)
    segments += ";\r\n *" + std::to_string(index) + (index == 0 ? "*=UTF-8''" : "*=") +
                std::string(60, 'a');
  // The segment that would end inside "%C3" stops before it.
  std::string last = ";\r\n *16*=" + std::string(59, 'a') + ";\r\n *17*=%C3%A9.pdf";
  auto parameter = [&](const std::string& attribute) {
    std::string lines = segments + last;
    for (std::size_t at = lines.find(" *"); at != std::string::npos; at = lines.find(" *", at + 2))
      lines.insert(at + 1, attribute);
    return lines;
  };
  EXPECT_EQ("Content-Type: application/pdf" + parameter("name") + "\r\n" +
                "Content-Disposition: attachment" + parameter("filename") + "\r\n",
            attachment_part_headers({"p", name, content_type_for_name(name)}));
}

TEST(ContentWriterTest, EveryLineEndsInCrLfAndLeadingDotsAreDoubled) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"a\n", "\n", "b\r\n", "c"}, "a\r\n\r\nb\r\nc"},
      {{"\r\n--divider--\r\n"}, "\r\n--divider--\r\n"},
      {{"a\rb\n"}, "ab\r\n"},
      {{".\n", ".\r\n", ".signature\n"}, "..\r\n..\r\n..signature\r\n"},
      {{"x\n.\n", "..\n"}, "x\r\n..\r\n...\r\n"},
      {{"abc", ".x\n"}, "abc.x\r\n"},
      {{"."}, ".."},
  };
  for (const auto& [texts, expected] : cases) {
    StringSink sink;
    ContentWriter writer(sink);
    for (const std::string& text : texts) writer.write(text);
    EXPECT_EQ(expected, sink.text) << texts.front();
  }
}

std::string base64_of(const std::string& bytes) {
  StringSink sink;
  ContentWriter writer(sink);
  std::istringstream input(bytes);
  encode_base64(input, writer);
  return sink.text;
}

TEST(Base64Test, PaddedGroupsInLinesOf72Characters) {
  const std::string line = std::string(72, 'A') + "\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "\r\n"},
      {"Man", "TWFu\r\n"},
      {"Ma", "TWE=\r\n"},
      {"M", "TQ==\r\n"},
      {"\xff\xff\xff", "////\r\n"},
      {std::string(54, '\0'), line + "\r\n"},
      {std::string(55, '\0'), line + "AA==\r\n"},
      {std::string(108, '\0'), line + line + "\r\n"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(text, base64_of(bytes)) << bytes.size();
  // Longer than one read of the input.
  std::string bytes(3 * 18 * 1024 * 2 + 7, 'z');
  std::string text = base64_of(bytes);
  std::size_t groups = (bytes.size() + 2) / 3;
  EXPECT_EQ(groups * 4 + (groups / 18) * 2 + 2, text.size());
  EXPECT_EQ("\r\nenp6enp6eg==\r\n", text.substr(text.size() - 16));
}

// The body part with its frame, log and dot-stuffing is proven by the session test.
TEST(MessageContentTest, AttachmentPartsAfterAnEmptyBody) {
  TempDir dir;
  MailMessage message;
  message.log_file = dir.file("velloc.log");
  message.log_level = 15;
  message.header_file = dir.file("header.txt");
  message.body_file = dir.file("missing.txt");
  dir.write("header.txt", "From: a@x\n\nSubject: Hello\n");
  dir.write("data.bin", "abcd");
  dir.write("empty.bin", "");
  const MailAttachment attachments[] = {{dir.file("data.bin"), "data.bin"},
                                        {dir.file("missing.bin"), "missing.bin"},
                                        {dir.path(), "dir"},
                                        {dir.file("empty.bin"), "empty.bin"}};
  auto part = [](const std::string& name, const std::string& base64) {
    return "--divider\r\nContent-Type: application/octet-stream; name=\"" + name +
           "\"\r\nContent-Disposition: attachment; filename=\"" + name +
           "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64;
  };
  StringSink sink;
  ContentWriter writer(sink);
  write_message_content(message, writer, attachments);
  EXPECT_EQ(
      "MIME-Version: 1.0\r\nFrom: a@x\r\nSubject: Hello\r\n"
      "Content-Type: multipart/mixed; boundary=\"divider\"\r\n\r\n"
      "--divider\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
      "Content-Transfer-Encoding: 7bit\r\n\r\n\r\n\r\n" +
          part("data.bin", "YWJjZA==\r\n") + part("empty.bin", "\r\n") + "\r\n--divider--\r\n",
      testing_support::with_fixed_boundary(testing_support::without_date_and_id(sink.text)));
  std::string logged = testing_support::logged_messages(message.log_file);
  EXPECT_EQ(std::string::npos, logged.find("Message Body Sent."));
  EXPECT_NE(std::string::npos, logged.find("Sending attachment '" + dir.file("data.bin") +
                                           "'...\nAttachment Sent.\n"));
  EXPECT_NE(std::string::npos,
            logged.find("Could not open attachment '" + dir.file("missing.bin") + "'\n"));
}

// A line over 998 octets once sent (a leading "." counts twice) makes the body
// quoted-printable; 7-bit text that fits leaves as it is.
TEST(MessageContentTest, BodyLinesTooLongForMailGoQuotedPrintable) {
  const std::string a75(75, 'a');
  struct Case {
    std::string body;
    std::string encoding;
    std::string sent;
  };
  const Case cases[] = {
      {std::string(998, 'a') + "\n", "7bit", std::string(998, 'a') + "\r\n"},
      {"." + std::string(996, 'a') + "\r\n", "7bit", ".." + std::string(996, 'a') + "\r\n"},
      {"short\n" + std::string(999, 'a') + "\n", "quoted-printable",
       "short\r\n" +
           [&] {
             std::string lines;
             for (int i = 0; i < 13; ++i) lines += a75 + "=\r\n";
             return lines;
           }() +
           std::string(24, 'a') + "\r\n"},
      {"." + std::string(997, 'a'), "quoted-printable",
       [&] {
         std::string lines = "=2E" + std::string(72, 'a') + "=\r\n";
         for (int i = 0; i < 12; ++i) lines += a75 + "=\r\n";
         return lines + std::string(25, 'a');
       }()},
  };
  for (const Case& c : cases) {
    TempDir dir;
    MailMessage message;
    message.header_file = dir.file("header.txt");
    message.body_file = dir.file("body.txt");
    dir.write("header.txt", "From: a@x\n");
    dir.write("body.txt", c.body);
    StringSink sink;
    ContentWriter writer(sink);
    write_message_content(message, writer, {});
    EXPECT_NE(std::string::npos,
              testing_support::with_fixed_boundary(sink.text).find(
                  "--divider\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
                  "Content-Transfer-Encoding: " +
                  c.encoding + "\r\n\r\n" + c.sent + "\r\n\r\n\r\n--divider--\r\n"))
        << c.body.size();
  }
}

TEST(MessageContentTest, AFieldCannotEndThePartBecauseEveryMessageHasItsOwnBoundary) {
  TempDir dir;
  MailMessage message;
  message.header_file = dir.file("header.txt");
  message.body_file = dir.file("body.txt");
  dir.write("header.txt", "From: a@x\n");
  dir.write("body.txt", "first\n");
  auto boundary_of = [](const std::string& content) {
    std::smatch match;
    std::regex_search(content, match, std::regex("boundary=\"(velloc-[0-9a-f]{32})\""));
    return match.size() == 2 ? match[1].str() : std::string("<none>");
  };
  auto content_of = [&]() {
    StringSink sink;
    ContentWriter writer(sink);
    write_message_content(message, writer, {});
    return sink.text;
  };
  std::string previous = boundary_of(content_of());
  ASSERT_NE("<none>", previous);
  dir.write("body.txt",
            "--" + previous + "\nContent-Type: text/html\n\n<b>x</b>\n--" + previous + "--\n");
  std::string content = content_of();
  std::string boundary = boundary_of(content);
  EXPECT_NE(previous, boundary);
  std::size_t lines = 0;
  for (std::size_t at = content.find("\r\n--" + boundary); at != std::string::npos;
       at = content.find("\r\n--" + boundary, at + 1))
    ++lines;
  EXPECT_EQ(2u, lines);  // the body part's opening line and the closing line
}

// Date and Message-ID come right after MIME-Version; 8-bit text is labelled and
// encoded, and the dot-only line survives the encoding and the transparency.
TEST(MessageContentTest, EightBitTextIsLabelledAndEncoded) {
  TempDir dir;
  MailMessage message;
  message.local_host = "web.example.test";
  message.header_file = dir.file("header.txt");
  message.body_file = dir.file("body.txt");
  dir.write("header.txt",
            "From: Jos\xc3\xa9 <j@x.test>\nSubject: Gr\xc3\xbc\xc3\x9f"
            "e\n");
  dir.write("body.txt",
            "Gr\xc3\xbc\xc3\x9f"
            "e\n.\n");
  StringSink sink;
  ContentWriter writer(sink);
  write_message_content(message, writer, {});
  sink.text = testing_support::with_fixed_boundary(sink.text);
  std::regex head(
      "MIME-Version: 1\\.0\r\n"
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d "
      "[+-]\\d{4}\r\nMessage-ID: <[0-9a-f]{32}@web\\.example\\.test>\r\n"
      "From: =\\?UTF-8\\?B\\?Sm9zw6k=\\?= <j@x\\.test>\r\n"
      "Subject: =\\?UTF-8\\?B\\?R3LDvMOfZQ==\\?=\r\n[^]*");
  EXPECT_TRUE(std::regex_match(sink.text, head)) << sink.text;
  EXPECT_NE(std::string::npos, sink.text.find("--divider\r\nContent-Type: text/plain; "
                                              "charset=\"UTF-8\"\r\nContent-Transfer-Encoding: "
                                              "quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe\r\n=2E\r\n"
                                              "\r\n\r\n\r\n--divider--\r\n"));
  message.site_charset = "ISO-8859-15";
  sink.text.clear();
  write_message_content(message, writer, {});
  EXPECT_NE(std::string::npos, sink.text.find("charset=\"ISO-8859-15\""));
  EXPECT_NE(std::string::npos, sink.text.find("Subject: =?ISO-8859-15?B?"));
}

}  // namespace
