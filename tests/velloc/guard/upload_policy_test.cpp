#include "velloc/guard/upload_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UploadPolicy, LimitsTypesAndProgramsInOneTable) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  UploadLimits defaults = parse_upload_limits("", "", "");
  UploadLimits listed = parse_upload_limits("2M", "2", "pdf, .ODT docx\ttxt");
  UploadLimits bytes = parse_upload_limits("100", "junk", "");
  UploadLimits scripts_listed = parse_upload_limits("", "", "pdf py");
  struct Case {
    const UploadLimits& limits;
    std::size_t position;
    const char* name;
    std::uint64_t size;
    std::string head;
    UploadVerdict verdict;
  };
  using V = UploadVerdict;
  // clang-format off
  Case cases[] = {
      {defaults, 1, "cv.pdf", 10 * kMiB, "%PDF", V::kAccepted},
      {defaults, 1, "cv.pdf", 10 * kMiB + 1, "%PDF", V::kTooLarge},
      {defaults, 5, "a.txt", 0, "", V::kAccepted},
      {defaults, 6, "a.txt", 0, "", V::kTooMany},
      {defaults, 1, "setup.EXE", 10, "", V::kExecutable},
      {defaults, 1, "run.sh. ", 10, "", V::kExecutable},
      {defaults, 1, "photo.jpg", 10, "MZ\x90", V::kExecutable},
      {defaults, 1, "notes", 10, "\x7f" "ELF", V::kExecutable},
      {defaults, 1, "script.txt", 10, "#!/bin/sh", V::kExecutable},
      {defaults, 1, "archive.tar", 10, "M", V::kAccepted},
      {defaults, 1, "a.pdf.phtml", 10, "%PDF", V::kServerScript},
      {defaults, 1, "a.PHP.pdf", 10, "%PDF", V::kServerScript},
      {defaults, 1, "a.php .pdf", 10, "", V::kServerScript},
      {defaults, 1, "x.Php5", 10, "", V::kServerScript},
      {defaults, 1, ".htaccess", 10, "", V::kServerScript},
      {defaults, 1, "x.sh.txt", 10, "", V::kServerScript},
      {defaults, 1, "php.pdf", 10, "", V::kAccepted},
      {defaults, 1, "x.phpx.pdf", 10, "", V::kAccepted},
      {listed, 1, "a.php.pdf", 1, "", V::kServerScript},
      {listed, 1, "a.pdf.php", 1, "", V::kTypeNotAllowed},
      {scripts_listed, 1, "a.py.pdf", 1, "", V::kAccepted},
      {listed, 1, "CV.Pdf", 2 * kMiB, "MZ", V::kAccepted},
      {listed, 1, "cv.odt", 2 * kMiB + 1, "", V::kTooLarge},
      {listed, 2, "letter.txt", 1, "#!", V::kAccepted},
      {listed, 3, "letter.txt", 1, "", V::kTooMany},
      {listed, 1, "photo.png", 1, "", V::kTypeNotAllowed},
      {listed, 1, "pdf", 1, "", V::kTypeNotAllowed},
      {bytes, 5, "a.bin", 100, "", V::kAccepted},
      {bytes, 1, "a.bin", 101, "", V::kTooLarge},
  };
  // clang-format on
  for (const Case& c : cases)
    EXPECT_EQ(c.verdict, judge_upload(c.limits, c.position, c.name, c.size, c.head)) << c.name;
}

}  // namespace
