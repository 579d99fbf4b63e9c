#include "velloc/guard/blocked_words.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BlockedWords, WholeWordsCaseBlindInUtf8) {
  const BlockedWords blocked = BlockedWords::parse(
      "# comments and blank lines are no entries\n\n  casino  \r\nfree money\n"
      "Ölpreis\nŁódź\nçà\n$$$\nказино\nΣΟΦΊΑ\nstraße\nİzmir\n");
  struct Case {
    std::string text;
    std::string found;
  };
  // clang-format off
  const Case cases[] = {
      {"Visit our casino today", "casino"}, {"CASINO!", "casino"}, {"(Casino)", "casino"},
      {"casinos and casinoroyale", ""}, {"the ecasino", ""}, {"cas ino", ""},
      // A phrase matches whole words with any blanks or punctuation between them.
      {"get FREE   money now", "free money"}, {"free\nmoney", "free money"},
      {"free-money", "free money"}, {"free moneybag", ""}, {"freemoney", ""},
      {"free\xC2\xA0money", "free money"},
      // Accented letters fold; they are letters of their words.
      {"ÖLPREIS steigt", "Ölpreis"}, {"ölpreis", "Ölpreis"}, {"Schölpreis", ""},
      {"ŁÓDŹ", "Łódź"}, {"łódź", "Łódź"}, {"ÇÀ va", "çà"}, {"ca va", ""},
      // Every script folds, as Unicode's full case folding does.
      {"ДЕШЁВОЕ КАЗИНО", "казино"}, {"Казино", "казино"}, {"казиноз", ""},
      {"σοφία", "ΣΟΦΊΑ"}, {"ΣΟΦΊΑ", "ΣΟΦΊΑ"}, {"STRASSE", "straße"}, {"Strasse", "straße"},
      {"STRAẞE", "straße"}, {"izmir", "İzmir"}, {"IZMIR", "İzmir"},
      // An entry of punctuation alone has no word and matches nothing.
      {"$$$ cash", ""},
      // Bytes that are no UTF-8 character separate words and never match a letter.
      {"casino\xFF", "casino"}, {"\xC3" "casino", "casino"}, {"\xC3\x96lpreis", "Ölpreis"},
      {"\xC3\xB6lpreis\xE2\x82", "Ölpreis"}, {"\xE0\x80\xAF" "casino", "casino"},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(c.found, blocked.find_in(c.text)) << c.text;
}

TEST(BlockedWords, EmptyListsBlockNothing) {
  EXPECT_TRUE(BlockedWords::parse("").empty());
  EXPECT_TRUE(BlockedWords::parse("# only\n\n   \n...\n").empty());
  EXPECT_EQ("", BlockedWords::parse("").find_in("casino"));
}

TEST(BlockedWords, ManyRepeatedWordsStayLinear) {
  const BlockedWords blocked = BlockedWords::parse("spam spam spam egg\n");
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "spam ";
  EXPECT_EQ("", blocked.find_in(text));
  EXPECT_EQ("spam spam spam egg", blocked.find_in(text + "egg"));
}

}  // namespace
