#include "velloc/guard/upload_check.h"

#include <gtest/gtest.h>

#include <vector>

#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

// Why a refused upload ends the run: its type, its size, or too many files.
TEST(CheckUploads, TheRefusalTellsTypeFromSize) {
  struct Case {
    std::vector<Upload> uploads;
    Reason expected;
    const char* message;
  };
  const Upload report{"file", "report.pdf", "", 100, "%PDF"};
  const Case cases[] = {
      {{{"file", "setup.exe", "", 100, "MZ"}}, Reason::kUploadType, "File Not Accepted: setup.exe"},
      {{{"file", "a<b>.pdf", "", 11 * 1024 * 1024, "%PDF"}},
       Reason::kUploadSize,
       "File Not Accepted: a&lt;b&gt;.pdf"},
      {std::vector<Upload>(6, report), Reason::kTooLarge, "File Not Accepted: report.pdf"},
  };
  for (const Case& c : cases) {
    Site site{read_process_facts()};
    ::Run run{site};
    run.message.log_level = 0;
    run.request.uploads = c.uploads;
    try {
      check_uploads(run);
      ADD_FAILURE() << c.message;
    } catch (const RunEnded& ended) {
      EXPECT_EQ(c.expected, ended.answer.reason) << c.message;
      EXPECT_EQ(c.message, ended.answer.message);
    }
  }
}

}  // namespace
