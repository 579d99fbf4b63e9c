#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"

namespace {

using platform::advance_ini_counter;
using platform::find_ini_value;
using platform::parse_leading_int;
using platform::read_ini_string;
using platform::write_ini_string;
using testing_support::TempDir;

class IniFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& content) {
    dir_.write("VELLOC.ini", content);
    return dir_.file("VELLOC.ini");
  }
  std::string content() const { return dir_.read("VELLOC.ini"); }

  TempDir dir_;
};

TEST_F(IniFileTest, MatchesSectionsAndKeysWithoutCaseAndTrimsValues) {
  std::string file = write(
      "[Other]\nSMTP=wrong\n[VELLOC]\r\n  pgp_path =  C:\\PGP  \r\nquoted=\"a "
      "b\"\n"
      "single=' x '\nodd=\"half\nempty=\n; SMTP=comment\n[Next]\nSMTP=later\n");
  EXPECT_EQ("C:\\PGP", read_ini_string(file, "Velloc", "PGP_Path", "d"));
  EXPECT_EQ("a b", read_ini_string(file, "Velloc", "QUOTED", "d"));
  EXPECT_EQ(" x ", read_ini_string(file, "Velloc", "single", "d"));
  EXPECT_EQ("\"half", read_ini_string(file, "Velloc", "odd", "d"));
  EXPECT_EQ("", read_ini_string(file, "Velloc", "empty", "d"));
  EXPECT_EQ("d", read_ini_string(file, "Velloc", "SMTP", "d"));
  EXPECT_EQ(std::nullopt, find_ini_value(file, "Velloc", "missing"));
}

TEST_F(IniFileTest, ValuesAreCutTo259Characters) {
  std::string file = write("[Velloc]\nlong=" + std::string(300, 'v') + "\n");
  EXPECT_EQ(std::string(259, 'v'), read_ini_string(file, "Velloc", "long", ""));
  EXPECT_EQ(std::string(259, 'd'), read_ini_string(dir_.file("none"), "Velloc",
                                                   "k", std::string(300, 'd')));
}

TEST_F(IniFileTest, JunkAndHugeLinesAreHarmless) {
  std::string junk("\0\xff[\x01=\n\r\r\n[", 11);
  std::string file =
      write(junk + std::string(100000, 'x') + "\n[Velloc]\nkey=1\n" +
            std::string(100000, '=') + "\n");
  EXPECT_EQ("1", read_ini_string(file, "Velloc", "key", "d"));
}

TEST_F(IniFileTest, MissingDirectoryOrUnreadableFileGiveTheDefault) {
  EXPECT_EQ("d", read_ini_string(dir_.file("absent.ini"), "Velloc", "k", "d"));
  mkdir(dir_.file("dir.ini").c_str(), 0755);
  EXPECT_EQ("d", read_ini_string(dir_.file("dir.ini"), "Velloc", "k", "d"));
  EXPECT_FALSE(write_ini_string(dir_.file("dir.ini"), "Velloc", "k", "v"));
}

TEST_F(IniFileTest, WritingReplacesTheKeyWhereItStands) {
  std::string file =
      write("; comment\n[velloc]\nA=1\nReceiptNumber = 7\nB=2\n[X]\nC=3\n");
  ASSERT_TRUE(write_ini_string(file, "Velloc", "ReceiptNumber", "8"));
  EXPECT_EQ("; comment\n[velloc]\nA=1\nReceiptNumber=8\nB=2\n[X]\nC=3\n",
            content());
}

TEST_F(IniFileTest, WritingAddsTheKeyAtTheEndOfItsSection) {
  std::string file = write("[Velloc]\r\nA=1\r\n\r\n[X]\r\nC=3\r\n");
  ASSERT_TRUE(write_ini_string(file, "Velloc", "ReceiptNumber", "2"));
  EXPECT_EQ("[Velloc]\r\nA=1\r\nReceiptNumber=2\r\n\r\n[X]\r\nC=3\r\n",
            content());
}

TEST_F(IniFileTest, WritingAddsTheSectionWhenMissing) {
  std::string file = write("[X]\nC=3");
  ASSERT_TRUE(write_ini_string(file, "Velloc", "ReceiptNumber", "2"));
  EXPECT_EQ("[X]\nC=3\n[Velloc]\nReceiptNumber=2\n", content());
}

TEST_F(IniFileTest, CounterReadsTheValueAndStoresTheNext) {
  std::string file = write("[Velloc]\nSMTP=mail\n");
  EXPECT_EQ(1, advance_ini_counter(file, "Velloc", "ReceiptNumber", "1"));
  EXPECT_EQ(2, advance_ini_counter(file, "Velloc", "ReceiptNumber", "1"));
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=3\n", content());
  write("[Velloc]\nReceiptNumber= -4x\n");
  EXPECT_EQ(-4, advance_ini_counter(file, "Velloc", "ReceiptNumber", "1"));
  EXPECT_EQ("[Velloc]\nReceiptNumber=-3\n", content());
}

TEST_F(IniFileTest, ConcurrentCountersNeverRepeatOrLoseANumber) {
  std::string file = write("[Velloc]\nReceiptNumber=1\n");
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::vector<int>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        taken[t].push_back(
            advance_ini_counter(file, "Velloc", "ReceiptNumber", "1")
                .value_or(0));
    });
  for (std::thread& thread : threads) thread.join();
  std::set<int> distinct;
  for (const auto& numbers : taken)
    distinct.insert(numbers.begin(), numbers.end());
  EXPECT_EQ(std::size_t{kThreads * kEach}, distinct.size());
  EXPECT_EQ(1, *distinct.begin());
  EXPECT_EQ(
      "[Velloc]\nReceiptNumber=" + std::to_string(kThreads * kEach + 1) + "\n",
      content());
}

TEST(ParseLeadingInt, ConvertsLikeAtoi) {
  EXPECT_EQ(42, parse_leading_int("  42abc"));
  EXPECT_EQ(-7, parse_leading_int("\t-7"));
  EXPECT_EQ(5, parse_leading_int("+5"));
  EXPECT_EQ(0, parse_leading_int("x5"));
  EXPECT_EQ(0, parse_leading_int(""));
  EXPECT_EQ(2147483647, parse_leading_int("3000000000"));
  EXPECT_EQ(-2147483647 - 1, parse_leading_int("-99999999999999999999"));
}

}  // namespace
