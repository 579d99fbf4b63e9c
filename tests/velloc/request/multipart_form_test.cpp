#include "velloc/request/multipart_form.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "velloc/request/multipart_parser.h"

namespace {

// Writes each part as "<name|f=filename|t=type>data" and an error as "!why".
class Transcript : public PartHandler {
 public:
  std::string text;
  void begin_part(const PartHeaders& headers) override {
    text += "<" + headers.name;
    if (headers.filename) text += "|f=" + *headers.filename;
    if (!headers.content_type.empty()) text += "|t=" + headers.content_type;
    text += ">";
  }
  void part_data(std::string_view data) override { text += data; }
  void end_part() override { text += ";"; }
};

std::string parse_in_chunks(const std::string& body, std::size_t chunk, MultipartLimits limits) {
  Transcript transcript;
  MultipartParser parser("AaB03x", limits, transcript);
  bool good = true;
  for (std::size_t at = 0; good && at < body.size(); at += chunk)
    good = parser.feed(std::string_view(body).substr(at, chunk));
  if (good) good = parser.finish();
  return good ? transcript.text : transcript.text + "!" + parser.error();
}

std::string disposition(const std::string& parameters) {
  return "Content-Disposition: form-data; " + parameters + "\r\n";
}

TEST(MultipartParser, PartsHeadersAndErrorsWhateverTheChunks) {
  const std::string open = "--AaB03x\r\n";
  const std::string next = "\r\n--AaB03x\r\n";
  const std::string close = "\r\n--AaB03x--\r\n";
  const std::string long_header = "X-Pad: " + std::string(8200, 'p') + "\r\n";
  struct Case {
    std::string body;
    std::string expected;
  };
  // clang-format off
  Case cases[] = {
      {open + disposition("name=\"a\"") + "\r\nx y" + next + disposition("name=b") + "\r\n\r\n2" + close,
       "<a>x y;<b>\r\n2;"},
      {"preamble\r\n" + open + "Content-Type: text/plain\r\n" + disposition("name=\"cv\"; filename=\"C:\\dir\\cv.pdf\"") +
           "\r\n%PDF\r\n--AaB03 not yet" + close + "epilogue",
       "<cv|f=C:\\dir\\cv.pdf|t=text/plain>%PDF\r\n--AaB03 not yet;"},
      {open + "content-disposition: FORM-DATA; NAME=\"a;b\"; filename*=UTF-8''%E2%82%AC%20x.txt; filename=\"e.txt\"\r\n\r\nd" + close,
       "<a;b|f=\xE2\x82\xAC x.txt>d;"},
      {open + disposition("name=\"f\"; filename=\"\"") + "Content-Type: application/octet-stream\r\n\r\n" + close,
       "<f|f=|t=application/octet-stream>;"},
      {open + "Content-Disposition: form-data;\r\n name=\"folded\"\r\n\r\nv" + close, "<folded>v;"},
      {"--AaB03x  \r\n" + disposition("name=a") + "\r\n" + close, "<a>;"},
      {open + disposition("name=a") + "\r\nv" + "\r\n--AaB03x", "<a>v;!the closing delimiter is missing"},
      {open + disposition("name=a") + "\r\nv", "<a>!the closing delimiter is missing"},
      {"no delimiter at all", "!the closing delimiter is missing"},
      {open + "Content-Type: text/plain\r\n\r\nv" + close, "!a part has no form-data Content-Disposition with a name"},
      {open + "Content-Disposition: attachment; name=a\r\n\r\nv" + close, "!a part has no form-data Content-Disposition with a name"},
      {open + long_header + disposition("name=a") + "\r\nv" + close, "!a part's headers are too long"},
      {"--AaB03xjunk\r\n" + disposition("name=a") + "\r\nv" + close, "!a delimiter is followed by other text"},
      {open + disposition("name=a") + "\r\n1" + next + disposition("name=b") + "\r\n2" + next + disposition("name=c") + "\r\n3" + close,
       "<a>1;<b>2;!the body has too many parts"},
  };
  // clang-format on
  MultipartLimits limits;
  limits.max_parts = 2;
  for (const Case& c : cases)
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{5}, c.body.size()})
      EXPECT_EQ(c.expected, parse_in_chunks(c.body, chunk, limits))
          << "chunk " << chunk << ": " << c.body.substr(0, 120);
}

TEST(MultipartBoundary, QuotedOrBareAnyCase) {
  // clang-format off
  std::pair<const char*, const char*> cases[] = {
      {"multipart/form-data; boundary=AaB03x", "AaB03x"},
      {"Multipart/Form-Data; BOUNDARY=\"a b'()+_,-./:=?\"", "a b'()+_,-./:=?"},
      {"multipart/form-data;charset=utf-8;boundary=x", "x"},
      {"multipart/form-data", nullptr}, {"multipart/form-data; boundary=", nullptr},
      {"multipart/form-data; boundary=\"a\\b\"", nullptr},
      {"multipart/mixed; boundary=x", nullptr}, {"application/x-www-form-urlencoded", nullptr}};
  // clang-format on
  for (const auto& [type, boundary] : cases) {
    auto found = multipart_boundary(type);
    EXPECT_EQ(boundary != nullptr, found.has_value()) << type;
    if (boundary && found) {
      EXPECT_EQ(boundary, *found) << type;
    }
  }
  EXPECT_FALSE(multipart_boundary("multipart/form-data; boundary=" + std::string(71, 'b')));
}

TEST(UploadShownName, LastComponentWithoutControlsQuotesAndSeparators) {
  std::pair<const char*, const char*> cases[] = {
      {"cv.pdf", "cv.pdf"},
      {"C:\\Users\\me\\cv.pdf", "cv.pdf"},
      {"../../etc/passwd", "passwd"},
      {"a\"b'c\r\n.txt", "abc.txt"},
      {"..", "upload"},
      {"", "upload"},
      {" .hidden", "hidden"},
      {"evil.exe. . ", "evil.exe"},
      {"\xC3\xA9t\xC3\xA9.odt", "\xC3\xA9t\xC3\xA9.odt"},
      {"invoice\xE2\x80\xAE"
       "fdp.exe",
       "invoicefdp.exe"},
      {"\xE2\x81\xA7"
       "a\xE2\x80\x8F.\xD8\x9C"
       "b\xE2\x81\xA9\xE2\x80\xA8\xC2\x85",
       "a.b"},
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\x8E", "upload"},
      {"\xE2\x80\x94\xC2\xA0x.txt", "\xE2\x80\x94\xC2\xA0x.txt"}};
  for (const auto& [sent, shown] : cases) EXPECT_EQ(shown, upload_shown_name(sent)) << sent;
  std::string long_name = std::string(199, 'a') + "\xC3\xA9";
  EXPECT_EQ(std::string(199, 'a'), upload_shown_name(long_name));
}

class MultipartFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("multipart_form_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    spool_.temp_dir = dir_.string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  bool decode(const std::string& body) {
    std::istringstream input(body);
    try {
      FieldAdder adder(fields_, ", ", RequestLimits());
      decode_multipart_body(input, body.size(), "B", spool_, adder, uploads_, files_);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }
  std::size_t files_in_dir() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                  std::filesystem::directory_iterator()));
  }

  std::filesystem::path dir_;
  UploadSpool spool_;
  FieldMap fields_;
  std::vector<Upload> uploads_;
  TempFileSet files_;
};

TEST_F(MultipartFormTest, FieldsJoinUploadsWaitInTempFilesUntilTheSetGoes) {
  std::string big(200 * 1024, '\r');
  std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"Colour\"\r\n\r\nred\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"COLOUR\"\r\n\r\nblue\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"cv\"; filename=\"dir/cv.pdf\"\r\n\r\n" +
      big +
      "\r\n--B\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"\"\r\n\r\n\r\n--B--";
  ASSERT_TRUE(decode(body));
  EXPECT_EQ("red, blue", *fields_.find("colour"));
  EXPECT_EQ("cv.pdf", *fields_.find("CV"));
  EXPECT_EQ("", *fields_.find("PHOTO"));
  ASSERT_EQ(1u, uploads_.size());
  EXPECT_EQ(big.size(), uploads_[0].size);
  EXPECT_EQ("\r\r\r\r", uploads_[0].head);
  std::ifstream saved(uploads_[0].path, std::ios::binary);
  EXPECT_EQ(big, std::string(std::istreambuf_iterator<char>(saved), {}));
  EXPECT_EQ(1u, files_in_dir());
  files_ = TempFileSet();
  EXPECT_EQ(0u, files_in_dir());
}

TEST_F(MultipartFormTest, MalformedBodyLeavesItsFilesToTheSet) {
  ASSERT_FALSE(decode("--B\r\nContent-Disposition: form-data; name=f; filename=a.txt\r\n\r\ndata"));
  EXPECT_EQ(1u, files_in_dir());
  files_.delete_all();
  EXPECT_EQ(0u, files_in_dir());
}

}  // namespace
