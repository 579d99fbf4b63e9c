#include "velloc/guard/address_cleaning.h"

#include <gtest/gtest.h>

namespace {

using Addresses = std::vector<std::string>;

TEST(AddressCleaning, ControlsAndAngleBracketsNeverReachTheMailServer) {
  struct Case {
    std::string value;
    Addresses list;
    std::string first;
  };
  const Case cases[] = {
      {"a@a.test>\tRET=FULL\tENVID=x", {"a@a.testRET=FULLENVID=x"}, "a@a.testRET=FULLENVID=x"},
      {"<a@x.test>", {"a@x.test"}, "a@x.test"},
      {"a@x\x01\x7f.test, b@x.test", {"a@x.test", "b@x.test"}, "a@x.test"},
      {"\t,\v b@x.test;c@x.test^d@x.test\r\ne@x.test",
       {"b@x.test", "c@x.test", "d@x.test", "e@x.test"},
       "b@x.test"},
      {"\xC3\xA9@x.test", {"\xC3\xA9@x.test"}, "\xC3\xA9@x.test"},
      {"\t <> \x1f", {}, ""},
      {"", {}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.list, address_list(c.value)) << c.value;
    EXPECT_EQ(c.first, first_address(c.value)) << c.value;
  }
}

}  // namespace
