#include "velloc/mail/mail_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string repeated(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// n copies of "ü" as one UTF-8 encoded-word.
std::string umlaut_word(int n) {
  static const std::string kSix = "w7zDvMO8";  // "üüü"
  std::string encoded = repeated(kSix, n / 3);
  if (n % 3 == 1) encoded += "w7w=";
  if (n % 3 == 2) encoded += "w7zDvA==";
  return "=?UTF-8?B?" + encoded + "?=";
}

// n copies of "é" quoted-printable: 25 escapes a line, broken softly.
std::string quoted_e_acute(int n) {
  std::string text;
  for (int escape = 0; escape < 2 * n; ++escape) {
    if (escape > 0 && escape % 25 == 0) text += "=\r\n";
    text += escape % 2 == 0 ? "=C3" : "=A9";
  }
  return text;
}

TEST(MailEncodingTest, HeaderValuesAndBodiesEncodeAsMailReadersExpect) {
  enum Kind { kHeader, kBody };
  struct Case {
    const char* what;
    Kind kind;
    std::string name;  // header name
    std::string input;
    std::string charset;  // configured CHARSET
    std::string expected;
  };
  const Case cases[] = {
      {"7-bit subject unchanged", kHeader, "Subject", "Hello =?x?= there", "", "Hello =?x?= there"},
      {"7-bit address unchanged", kHeader, "From", "Jo <jo@x.test>", "", "Jo <jo@x.test>"},
      {"UTF-8 subject", kHeader, "Subject",
       "Gr\xc3\xbc\xc3\x9f"
       "e from the site",
       "", "=?UTF-8?B?R3LDvMOfZSBmcm9tIHRoZSBzaXRl?="},
      {"windows-1252 subject", kHeader, "Subject",
       "Gr\xfc\xdf"
       "e",
       "", "=?windows-1252?B?R3L832U=?="},
      {"configured charset", kHeader, "Subject",
       "Gr\xfc\xdf"
       "e",
       "ISO-8859-1", "=?ISO-8859-1?B?R3L832U=?="},
      {"display name encoded, address kept", kHeader, "From",
       "Jos\xc3\xa9 Gr\xc3\xbc\xc3\x9f"
       "er <jose@example.test>",
       "", "=?UTF-8?B?Sm9zw6kgR3LDvMOfZXI=?= <jose@example.test>"},
      {"quoted display name, list", kHeader, "To",
       "\"Jos\xc3\xa9\" <j@x.test>, plain@x.test, b\xc3\xa9@x.test", "",
       "=?UTF-8?B?Sm9zw6k=?= <j@x.test>, plain@x.test, b\xc3\xa9@x.test"},
      {"subject longer than one folded line", kHeader, "Subject", repeated("\xc3\xbc", 100), "",
       umlaut_word(21) + "\r\n " + umlaut_word(22) + "\r\n " + umlaut_word(22) + "\r\n " +
           umlaut_word(22) + "\r\n " + umlaut_word(13)},
      {"UTF-8 body", kBody, "", "caf\xc3\xa9 = ok\r\nnext\n", "", "caf=C3=A9 =3D ok\r\nnext\r\n"},
      {"windows-1252 body", kBody, "", "caf\xe9", "", "caf=E9"},
      {"blanks before line ends", kBody, "", "a \nb\t", "", "a=20\r\nb=09"},
      {"long line broken under 76 columns", kBody, "", repeated("\xc3\xa9", 30), "",
       quoted_e_acute(30)},
      {"long ASCII run in an 8-bit body", kBody, "", repeated("x", 80), "",
       repeated("x", 75) + "=\r\nxxxxx"},
      {"a line of only '.' and a line starting with '.'", kBody, "", ".\n.x\xe9\n", "",
       "=2E\r\n=2Ex=E9\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string actual = c.kind == kHeader ? encode_header_value(c.name, c.input, c.charset)
                                           : encode_quoted_printable(c.input);
    EXPECT_EQ(c.expected, actual);
    std::size_t column = c.kind == kHeader ? c.name.size() + 2 : 0;
    std::size_t limit = c.kind == kHeader ? 78 : 76;
    for (std::size_t start = 0, end = 0; start <= actual.size(); start = end + 2, column = 0) {
      end = std::min(actual.find("\r\n", start), actual.size());
      EXPECT_LE(column + end - start, limit);
    }
  }
}

// `count` bytes of "x" as the base64 of one encoded-word.
std::string x_base64(int count) {
  return repeated("eHh4", count / 3) + (count % 3 == 1 ? "eA==" : count % 3 == 2 ? "eHg=" : "");
}

std::string x_word(int count) { return "=?UTF-8?B?" + x_base64(count) + "?="; }

TEST(MailEncodingTest, LongSevenBitLinesFoldAtBlanksAndLongWordsBecomeEncodedWords) {
  struct Case {
    const char* what;
    std::string name;
    std::string value;
    std::string expected;
  };
  const std::string eight = "abcdefgh";
  const std::string x1990(1990, 'x');
  const std::string y1000(1000, 'y');
  std::string recipients = "u100@example.test";
  for (int i = 101; i < 300; ++i) recipients += ", u" + std::to_string(i) + "@example.test";
  const Case cases[] = {
      {"998 octets stay one line", "Subject", std::string(989, 's'), std::string(989, 's')},
      {"words fold before 78 columns", "Subject", eight + repeated(" " + eight, 199),
       eight + repeated(" " + eight, 6) + repeated("\r\n" + repeated(" " + eight, 8), 24) +
           "\r\n " + eight},
      {"a word that fits into a line of its own", "Subject", "Hi " + std::string(990, 'w'),
       "Hi\r\n " + std::string(990, 'w')},
      {"a word too long for any line", "Subject", x1990,
       x_word(42) + repeated("\r\n " + x_word(45), 43) + "\r\n " + x_word(13)},
      {"the blank before the words stays shown", "Subject", "Hi " + x1990,
       "Hi " + x_word(39) + repeated("\r\n " + x_word(45), 43) + "\r\n " + x_word(16)},
      // " yy" and "\tyy" in base64: the blanks travel inside the words.
      {"blanks between two long words are encoded", "Subject", "  " + y1000 + "\t" + y1000,
       " =?UTF-8?B?IHl5*\r\n =?UTF-8?B?CXl5*"},
      {"long recipient lists fold between addresses", "To", recipients,
       "u100@example.test, u101@example.test, u102@example.test,\r\n u103@example.test,*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string actual = encode_header_value(c.name, c.value, "");
    std::size_t wildcard = c.expected.find('*');
    if (wildcard == std::string::npos) {
      EXPECT_EQ(c.expected, actual);
    } else {  // pieces in order, each "*" standing for any text
      std::size_t at = 0;
      for (std::size_t start = 0; start < c.expected.size(); start = wildcard + 1) {
        wildcard = std::min(c.expected.find('*', start), c.expected.size());
        std::string piece = c.expected.substr(start, wildcard - start);
        at = actual.find(piece, at);
        ASSERT_NE(std::string::npos, at) << piece;
        at += piece.size();
      }
    }
    std::string unfolded;
    std::size_t column = c.name.size() + 2;
    for (std::size_t start = 0, end = 0; start <= actual.size(); start = end + 2, column = 0) {
      end = std::min(actual.find("\r\n", start), actual.size());
      EXPECT_LE(column + end - start, 998u);
      EXPECT_NE(std::string::npos, actual.substr(start, end - start).find_first_not_of(" \t"));
      unfolded += actual.substr(start, end - start);
    }
    if (actual.find("=?") == std::string::npos) {
      EXPECT_EQ(c.value, unfolded);
    }
  }
}

TEST(MailEncodingTest, CharsetLabelFollowsTheBytes) {
  EXPECT_EQ("UTF-8", charset_label("Gr\xc3\xbc\xc3\x9f"
                                   "e",
                                   ""));
  EXPECT_EQ("windows-1252", charset_label("Gr\xfc\xdf"
                                          "e",
                                          ""));
  EXPECT_EQ("windows-1252", charset_label("\xc0\xaf overlong", ""));
  EXPECT_EQ("windows-1252", charset_label("cut \xc3", ""));
  EXPECT_EQ("KOI8-R", charset_label("\xc3\xbc", "KOI8-R"));
  TextScan split;
  split.add("Gr\xc3");
  split.add("\xbc");
  EXPECT_FALSE(split.seven_bit());
  EXPECT_TRUE(split.valid_utf8());
}

}  // namespace
