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

TEST(AddressCleaning, AddressesOverTheSmtpLimitsCountAsNone) {
  const std::string local64(64, 'l');
  const std::string path256 = "a@" + std::string(252, 'd');  // with "<" and ">": 256
  struct Case {
    std::string value;
    Addresses list;
    Addresses overlong;
  };
  const Case cases[] = {
      {local64 + "@x.test", {local64 + "@x.test"}, {}},
      {local64 + "l@x.test, b@x.test", {"b@x.test"}, {local64 + "l@x.test"}},
      {path256, {path256}, {}},
      {path256 + "d b@x.test", {"b@x.test"}, {path256 + "d"}},
      {local64 + "l", {}, {local64 + "l"}},  // no domain: all local part
      {"\"a@b\"@" + std::string(60, 'd'), {"\"a@b\"@" + std::string(60, 'd')}, {}},
      {"<" + std::string(1000, 'h') + "@example.test>",
       {},
       {std::string(1000, 'h') + "@example.test"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 80));
    EXPECT_EQ(c.list, address_list(c.value));
    Addresses overlong;
    for_each_overlong_address(c.value, [&](std::string_view a) { overlong.emplace_back(a); });
    EXPECT_EQ(c.overlong, overlong);
  }
  EXPECT_EQ("", first_address(local64 + "l@x.test"));
  EXPECT_EQ("Address too long for mail, passed over (72 octets): " + local64 + "...",
            overlong_address_note(local64 + "l@x.test"));
}

}  // namespace
