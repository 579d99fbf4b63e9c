#include "platform/unicode_controls.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UnicodeControls, DecodesWellFormedCharactersAndTellsControlsApart) {
  struct Case {
    std::string text;
    char32_t code_point;  // ignored when length is 0
    std::size_t length;
    bool control;
  };
  const Case cases[] = {
      {"a", U'a', 1, false},
      {"\x1b", 0x1b, 1, true},
      {"\x7f", 0x7f, 1, true},
      {"\xC2\x85", 0x85, 2, true},
      {"\xC2\xA0", 0xA0, 2, false},
      {"\xE2\x80\xA8", 0x2028, 3, true},
      {"\xE2\x80\xAE", 0x202E, 3, true},
      {"\xE2\x81\xA8", 0x2068, 3, true},
      {"\xD8\x9C", 0x061C, 2, true},
      {"\xE2\x80\x8D", 0x200D, 3, false},
      {"\xF0\x9F\x98\x80", 0x1F600, 4, false},
      {"", 0, 0, false},
      {"\x80", 0, 0, false},
      {"\xC0\x9B", 0, 0, false},
      {"\xE0\x80\xAE", 0, 0, false},
      {"\xED\xA0\x80", 0, 0, false},
      {"\xF4\x90\x80\x80", 0, 0, false},
      {"\xE2\x80", 0, 0, false},
      {"\xE2"
       "a\x80",
       0, 0, false},
  };
  for (const Case& c : cases) {
    platform::Utf8Character got = platform::first_utf8_character(c.text);
    EXPECT_EQ(c.length, got.length) << c.text;
    if (c.length == 0) continue;
    EXPECT_EQ(c.code_point, got.code_point) << c.text;
    EXPECT_EQ(c.control, platform::is_control_character(got.code_point)) << c.text;
  }
}

}  // namespace
