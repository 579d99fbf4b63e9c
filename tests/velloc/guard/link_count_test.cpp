#include "velloc/guard/link_count.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LinkCount, EachFormOfLinkCountsOnce) {
  struct Case {
    std::string text;
    std::size_t links;
  };
  // clang-format off
  const Case cases[] = {
      {"", 0}, {"Please call me back tomorrow.", 0}, {"http:// is a scheme", 1},
      {"see http://a.example and HTTPS://b.example/x", 2}, {"www.shop.example", 1},
      {"visit WWW.shop.example.", 1}, {"https://www.shop.example", 1},
      // "www." inside a word or host is no link of its own.
      {"awww. so cute", 0}, {"mail.www.example", 0}, {"x//www.example", 0},
      // Markup links count once, with or without an address the other rules see.
      {"<a href=\"http://a.example\">x</a>", 1}, {"<a HREF='www.a.example'>x</a>", 1},
      {"<a href=\"/relative\">x</a>", 1}, {"[url=http://a.example]x[/url]", 1},
      {"[URL=a.example]x[/URL]", 1}, {"[url]http://a.example[/url]", 1},
      {"[url=\"  https://a.example\"]", 1},
      // A text cut off in the middle of a marker.
      {"https:/", 0}, {"[url", 0}, {"href=", 1}, {"www", 0},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(c.links, count_links(c.text)) << c.text;
}

TEST(LinkCount, ALongTextIsCountedInOnePass) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "http://x.example ";
  text += std::string(1 << 20, ' ');
  EXPECT_EQ(20000u, count_links(text));
}

}  // namespace
