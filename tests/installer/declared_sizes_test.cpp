#include "installer/declared_sizes.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using installer::DeclaredFile;

TEST(DeclaredSizeRefusal, AcceptsWhatFitsAndNamesWhatDoesNot) {
  constexpr std::uint64_t kGiB = installer::kMaxDeclaredFileBytes;
  constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::vector<DeclaredFile> files;
    std::uint64_t free_bytes;
    std::optional<std::string> refusal;
  };
  const Case cases[] = {
      {{}, 0, std::nullopt},
      {{{"empty.txt", 0}}, 0, std::nullopt},
      {{{"a", 100}, {"b", 200}}, 300, std::nullopt},
      {{{"a", 100}, {"b", 200}},
       299,
       "the files declare 300 bytes, more than the 299 bytes free; 'b' is the first that does "
       "not fit"},
      {{{"whole.dat", kGiB}}, kUnlimited, std::nullopt},
      {{{"a", 1}, {"Brannic\\huge.dat", kGiB + 1}},
       kUnlimited,
       "'Brannic\\huge.dat' declares 1073741825 bytes, more than 1 GiB"},
      {{{"huge.dat", 0xffffffff}}, 0, "'huge.dat' declares 4294967295 bytes, more than 1 GiB"},
      {{{"a", kGiB}, {"b", kGiB}, {"c", kGiB}},
       3 * kGiB - 1,
       "the files declare 3221225472 bytes, more than the 3221225471 bytes free; 'c' is the "
       "first that does not fit"},
      {{{"a", kGiB}, {"b", kGiB}, {"c", 1}},
       kGiB + 1,
       "the files declare 2147483649 bytes, more than the 1073741825 bytes free; 'b' is the "
       "first that does not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files.size());
    EXPECT_EQ(c.refusal, installer::declared_size_refusal(c.files, c.free_bytes));
  }
}

}  // namespace
