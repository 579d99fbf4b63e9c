#include "platform/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/cgi_runner.h"

namespace {

using platform::advance_ini_counter;
using platform::read_ini_string;
using testing_support::TempDir;

class IniFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& content) {
    dir_.write("VELLOC.ini", content);
    return dir_.file("VELLOC.ini");
  }
  std::string content() const { return dir_.read("VELLOC.ini"); }

  testing_support::TempDir dir_;
};

TEST_F(IniFileTest, ReadingMatchesWithoutCaseTrimsUnquotesAndCuts) {
  std::string file =
      write(std::string("\0\xff[\x01=\n\r\r\n[", 11) + std::string(100000, 'x') +
            "\n[Other]\nSMTP=wrong\n[VELLOC]\r\n  pgp_path =  C:\\PGP  \r\n"
            "quoted=\"a b\"\nsingle=' x '\nodd=\"half\nempty=\n; SMTP=comment\nlong=" +
            std::string(300, 'v') + "\n" + std::string(100000, '=') + "\n[Next]\nSMTP=later\n");
  // clang-format off
  std::pair<const char*, std::string> cases[] = {
      {"PGP_Path", "C:\\PGP"}, {"QUOTED", "a b"}, {"single", " x "}, {"odd", "\"half"},
      {"empty", ""}, {"SMTP", "d"}, {"long", std::string(259, 'v')}};
  // clang-format on
  for (const auto& [key, expected] : cases)
    EXPECT_EQ(expected, read_ini_string(file, "Velloc", key, "d")) << key;
  EXPECT_EQ(std::nullopt, platform::find_ini_value(file, "Velloc", "missing"));
  EXPECT_EQ(std::string(259, 'd'),
            read_ini_string(dir_.file("none"), "Velloc", "k", std::string(300, 'd')));
  mkdir(dir_.file("dir.ini").c_str(), 0755);
  EXPECT_EQ("d", read_ini_string(dir_.file("dir.ini"), "Velloc", "k", "d"));
  EXPECT_FALSE(platform::write_ini_string(dir_.file("dir.ini"), "Velloc", "k", "v"));
}

TEST_F(IniFileTest, SectionListsKeysInFileOrderAsFindIniValueReadsThem) {
  std::string file = write(
      "[Velloc]\nA=1\n[form Contact]\r\nRECIPIENT = \"x@y\" \nsubject=Hi\nrecipient=dup\n"
      "long=" +
      std::string(300, 'v') + "\n[Next]\nB=2\n[Form contact]\nC=3\n");
  using Entries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ((Entries{{"RECIPIENT", "x@y"}, {"subject", "Hi"}, {"long", std::string(259, 'v')}}),
            platform::read_ini_section(file, "FORM CONTACT"));
  EXPECT_EQ("x@y", read_ini_string(file, "Form Contact", "recipient", ""));
  EXPECT_EQ(Entries{}, platform::read_ini_section(file, "Form Other"));
  EXPECT_EQ(Entries{}, platform::read_ini_section(dir_.file("none"), "Velloc"));
}

TEST_F(IniFileTest, WritingChangesOnlyTheKeysLine) {
  std::pair<const char*, const char*> cases[] = {
      {"; comment\n[velloc]\nA=1\nReceiptNumber = 7\nB=2\n[X]\nC=3\n",
       "; comment\n[velloc]\nA=1\nReceiptNumber=8\nB=2\n[X]\nC=3\n"},
      {"[Velloc]\r\nA=1\r\n\r\n[X]\r\nC=3\r\n",
       "[Velloc]\r\nA=1\r\nReceiptNumber=8\r\n\r\n[X]\r\nC=3\r\n"},
      {"[X]\nC=3", "[X]\nC=3\n[Velloc]\nReceiptNumber=8\n"},
      // A byte-order mark is passed over, so the first section is found, and kept.
      {"\xEF\xBB\xBF[Velloc]\nReceiptNumber=7\n", "\xEF\xBB\xBF[Velloc]\nReceiptNumber=8\n"}};
  for (const auto& [before, after] : cases) {
    ASSERT_TRUE(platform::write_ini_string(write(before), "Velloc", "ReceiptNumber", "8"));
    EXPECT_EQ(after, content()) << before;
  }
}

TEST_F(IniFileTest, CounterReadsTheValueAndStoresTheNext) {
  std::string file = write("[Velloc]\nReceiptNumber= -4x\n");
  EXPECT_EQ(-4, advance_ini_counter(file, "Velloc", "ReceiptNumber", "1"));
  EXPECT_EQ("[Velloc]\nReceiptNumber=-3\n", content());
}

TEST_F(IniFileTest, ConcurrentCountersNeverRepeatOrLoseANumber) {
  std::string file = write("[Velloc]\nSMTP=mail\n");
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::vector<int>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        taken[t].push_back(advance_ini_counter(file, "Velloc", "ReceiptNumber", "1").value_or(0));
    });
  std::set<int> distinct;
  for (int t = 0; t < kThreads; ++t) {
    threads[t].join();
    distinct.insert(taken[t].begin(), taken[t].end());
  }
  EXPECT_EQ(std::size_t{kThreads * kEach}, distinct.size());
  EXPECT_EQ(1, *distinct.begin());
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=" + std::to_string(kThreads * kEach + 1) + "\n",
            content());
}

std::set<std::string> names_in(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.insert(entry.path().filename());
  return names;
}

// A write never leaves the settings file shorter, even on a full disk, where the
// cut-off file once lost its last line (AllowedRecipients) and opened the relay, or at
// a file-size limit. A file with a second name is written in place, and only with its
// room taken first.
TEST(IniFileOnAFullDisk, CounterLeavesTheFileWholeOrWritesItAll) {
  TempDir dir;
  if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{dir.path()};
  const std::string tail = "[Velloc]\nReceiptNumber=9\nAllowedRecipients=owner@example.test\n";
  const std::string block_full = "; " + std::string(4096 - 3 - tail.size(), 'x') + "\n" + tail;
  struct Case {
    const char* name;
    std::string content;
    bool second_name;
    bool written;
    bool size_limited = false;  // a file-size limit at the file's size instead of a full disk
  };
  const Case cases[] = {{"replaced", tail, false, false},
                        {"second name, no room to grow", block_full, true, false},
                        {"second name, room in its block", tail, true, true},
                        {"size limit", tail, false, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir.write("VELLOC.ini", c.content);
    std::string file = dir.file("VELLOC.ini");
    if (c.second_name) link(file.c_str(), dir.file("other.ini").c_str());
    if (!c.size_limited) {
      int filler = open(dir.file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      std::string page(4096, 'f');
      while (write(filler, page.data(), page.size()) > 0) {
      }
      close(filler);
    }
    rlimit unlimited, limited;
    getrlimit(RLIMIT_FSIZE, &unlimited);
    limited = {c.content.size(), unlimited.rlim_max};
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    if (c.size_limited) setrlimit(RLIMIT_FSIZE, &limited);
    std::optional<int> taken = advance_ini_counter(file, "Velloc", "ReceiptNumber", "1");
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, previous);
    std::string expected = c.content;
    if (c.written) expected.replace(expected.find("=9") + 1, 1, "10");
    EXPECT_EQ(c.written ? std::optional<int>(9) : std::nullopt, taken);
    EXPECT_EQ(expected, dir.read("VELLOC.ini"));
    std::set<std::string> names{"VELLOC.ini"};
    if (!c.size_limited) names.insert("filler");
    if (c.second_name) names.insert("other.ini");
    EXPECT_EQ(names, names_in(dir));  // no new file left beside it
    for (const char* name : {"VELLOC.ini", "other.ini", "filler"})
      std::remove(dir.file(name).c_str());
  }
}

// The written file is the old one in every other respect: its owner, group and mode,
// the link that leads to it, the second name that shares it.
TEST(IniFileWrite, KeepsOwnerModeAndNames) {
  struct Case {
    const char* name;
    void (*plant)(const TempDir& dir);  // makes "VELLOC.ini" from "real.ini"
    bool needs_root;
  };
  const Case cases[] = {
      {"another owner, mode 0640",
       [](const TempDir& dir) {
         std::rename(dir.file("real.ini").c_str(), dir.file("VELLOC.ini").c_str());
         ASSERT_EQ(0, chown(dir.file("VELLOC.ini").c_str(), 1234, 5678));
         chmod(dir.file("VELLOC.ini").c_str(), 0640);
       },
       true},
      {"symbolic link",
       [](const TempDir& dir) {
         symlink(dir.file("real.ini").c_str(), dir.file("VELLOC.ini").c_str());
       },
       false},
      {"second name",
       [](const TempDir& dir) {
         link(dir.file("real.ini").c_str(), dir.file("VELLOC.ini").c_str());
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && geteuid() != 0) continue;
    TempDir dir;
    dir.write("real.ini", "; kept\n[Velloc]\nReceiptNumber=5\nSMTP=mail\n");
    c.plant(dir);
    struct stat before, after, link_after;
    ASSERT_EQ(0, stat(dir.file("VELLOC.ini").c_str(), &before));
    EXPECT_EQ(5, advance_ini_counter(dir.file("VELLOC.ini"), "Velloc", "ReceiptNumber", "1"));
    ASSERT_EQ(0, stat(dir.file("VELLOC.ini").c_str(), &after));
    ASSERT_EQ(0, lstat(dir.file("VELLOC.ini").c_str(), &link_after));
    EXPECT_EQ("; kept\n[Velloc]\nReceiptNumber=6\nSMTP=mail\n", dir.read("VELLOC.ini"));
    EXPECT_EQ(before.st_uid, after.st_uid);
    EXPECT_EQ(before.st_gid, after.st_gid);
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_nlink, after.st_nlink);
    EXPECT_EQ(c.plant != cases[1].plant, S_ISREG(link_after.st_mode));  // the link stays
    if (dir.exists("real.ini")) {
      EXPECT_EQ(dir.read("VELLOC.ini"), dir.read("real.ini"));
    }
    std::set<std::string> names{"VELLOC.ini"};
    if (dir.exists("real.ini")) names.insert("real.ini");
    EXPECT_EQ(names, names_in(dir));
  }
}

// Read per call or once and remembered, the answers are the same, duplicates included;
// remembered, a file follows this process's own writes and its counter still counts
// on the file as it is at that moment.
TEST_F(IniFileTest, RememberedFilesAnswerAsReadPerCall) {
  using Section = std::vector<std::pair<std::string, std::string>>;
  for (bool remember : {false, true}) {
    SCOPED_TRACE(remember);
    platform::IniFiles files;
    auto section = [&](const std::string& file, std::string_view name) {
      return remember ? files.read_section(file, name) : platform::read_ini_section(file, name);
    };
    auto value = [&](const std::string& file, std::string_view key) {
      return remember ? files.find_value(file, "Velloc", key)
                      : platform::find_ini_value(file, "Velloc", key);
    };
    auto text = [&](const std::string& file, std::string_view key) {
      return remember ? files.read_string(file, "Velloc", key, "d")
                      : read_ini_string(file, "Velloc", key, "d");
    };
    auto store = [&](const std::string& file, std::string_view key, std::string_view stored) {
      return remember ? files.write_string(file, "Velloc", key, stored)
                      : platform::write_ini_string(file, "Velloc", key, stored);
    };
    auto advance = [&](const std::string& file) {
      return remember ? files.advance_counter(file, "Velloc", "ReceiptNumber", "1")
                      : advance_ini_counter(file, "Velloc", "ReceiptNumber", "1");
    };
    std::string file = write(
        "A=0\n[velloc]\nA=1\nb = ' x '\na=2\n[Other]\nA=3\n[VELLOC]\nC=4\nA=5\n[Other]\nD=6\n");
    EXPECT_EQ((Section{{"A", "1"}, {"b", " x "}}), section(file, "Velloc"));
    EXPECT_EQ((Section{{"A", "3"}}), section(file, "OTHER"));
    EXPECT_EQ(Section{}, section(file, "None"));
    EXPECT_EQ(Section{}, section(dir_.file("none.ini"), "Velloc"));
    EXPECT_EQ(std::nullopt, value(file, "C"));
    EXPECT_EQ("1", text(file, "A"));

    std::string created = dir_.file(remember ? "remembered.ini" : "read.ini");
    EXPECT_EQ("d", text(created, "A"));
    ASSERT_TRUE(store(created, "A", "7"));
    EXPECT_EQ("7", text(created, "A"));

    dir_.write("VELLOC.ini", "[Velloc]\nReceiptNumber=41\n");  // another process took 40
    EXPECT_EQ(41, advance(file));
    EXPECT_EQ("42", text(file, "ReceiptNumber"));
    EXPECT_EQ("d", text(file, "A"));
    EXPECT_EQ("[Velloc]\nReceiptNumber=42\n", content());
  }
}

// Puts a whole new VELLOC.ini in place of the old one, as a rename does it.
void replace_with(testing_support::TempDir& dir, const char* text) {
  dir.write("new.ini", text);
  std::rename(dir.file("new.ini").c_str(), dir.file("VELLOC.ini").c_str());
}

// A remembered file answers from memory until refresh() finds it changed, however
// it was changed. A file kept at its last good version takes only a whole one (with
// [Velloc], its last line ended) at once when it replaced the file, a rewrite in place
// only once it has settled; a version passed over is reported once, and the counter
// never writes a version that is not whole.
TEST_F(IniFileTest, RefreshReadsChangedFilesAgain) {
  struct Case {
    const char* name;
    void (*change)(testing_support::TempDir& dir);
    const char* after;
    const char* kept_after;
    const char* kept_report;  // the end of the line reported, "" for none
  };
  const Case cases[] = {
      {"rewritten longer", [](auto& dir) { dir.write("VELLOC.ini", "[Velloc]\nA=22\n"); }, "22",
       "1", ""},
      {"rewritten, same size", [](auto& dir) { dir.write("VELLOC.ini", "[Velloc]\nA=2\n"); }, "2",
       "1", ""},
      {"replaced", [](auto& dir) { replace_with(dir, "[Velloc]\nA=3\n"); }, "3", "3", ""},
      {"replaced, last line unended", [](auto& dir) { replace_with(dir, "[Velloc]\nA=3"); }, "3",
       "1", "VELLOC.ini:2: the last line has no line end"},
      {"replaced, no section", [](auto& dir) { replace_with(dir, "[Other]\nA=3\n"); }, "d", "1",
       "VELLOC.ini:2: no [VELLOC] section"},
      {"replaced, emptied", [](auto& dir) { replace_with(dir, ""); }, "d", "1",
       "VELLOC.ini:0: the file is empty"},
      {"removed", [](auto& dir) { std::remove(dir.file("VELLOC.ini").c_str()); }, "d", "1",
       "VELLOC.ini:0: the file is missing"},
      {"emptied", [](auto& dir) { dir.write("VELLOC.ini", ""); }, "d", "1", ""},
      {"cut before its section", [](auto& dir) { dir.write("VELLOC.ini", "; A=4\n"); }, "d", "1",
       ""},
  };
  for (bool kept : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (kept ? ", kept" : ""));
      platform::IniFiles files;
      std::string file = write("[Velloc]\nA=1\n");
      if (kept) files.keep_last_good(file, "VELLOC");
      std::string absent = dir_.file("absent.ini");
      EXPECT_EQ("1", files.read_string(file, "Velloc", "A", "d"));
      EXPECT_EQ("d", files.read_string(absent, "Velloc", "A", "d"));
      c.change(dir_);
      std::string changed = content();
      dir_.write("absent.ini", "[Velloc]\nA=5\n");
      EXPECT_EQ("1", files.read_string(file, "Velloc", "A", "d"));
      std::vector<std::string> reports = files.refresh();
      EXPECT_EQ(kept ? c.kept_after : c.after, files.read_string(file, "Velloc", "A", "d"));
      EXPECT_EQ("5", files.read_string(absent, "Velloc", "A", "d"));
      std::string report = kept ? c.kept_report : "";
      ASSERT_EQ(report.empty() ? 0u : 1u, reports.size());
      if (!report.empty()) {
        EXPECT_TRUE(reports[0].starts_with("Settings not reloaded: " + dir_.file("")));
        EXPECT_TRUE(reports[0].ends_with(report)) << reports[0];
      }
      EXPECT_TRUE(files.refresh().empty());  // once per version
      bool whole = changed.find("[Velloc]") != std::string::npos && changed.ends_with('\n');
      EXPECT_EQ(whole || !kept, files.advance_counter(file, "Velloc", "ReceiptNumber", "1") == 1);
      if (kept && !whole) {
        EXPECT_EQ(changed, content());  // not written, not created
      }
      std::remove(absent.c_str());
    }
  }
}

// With every file kept, any section makes a version good, the caller's check may pass
// over one more, and a rewrite in place is taken once it has settled.
TEST_F(IniFileTest, KeptVersionsOfEveryFile) {
  platform::IniFiles files;
  std::vector<std::string> taken;
  files.keep_last_good_versions(
      [](const std::string&, std::string_view text) {
        return text.find("bad") == std::string_view::npos
                   ? std::nullopt
                   : std::optional<platform::IniFault>({3, "not a number"});
      },
      [&](const std::string&, std::string_view text) { taken.emplace_back(text); });
  std::string profile = dir_.file("profile.ini");
  auto replace = [&](const char* text) {
    dir_.write("new.ini", text);
    std::rename(dir_.file("new.ini").c_str(), profile.c_str());
  };
  replace("[Form]\nA=1\n");
  auto value = [&] {
    files.refresh();
    return files.read_string(profile, "Form", "A", "d");
  };
  EXPECT_EQ("1", value());
  replace("A=2\n");
  EXPECT_EQ(std::vector<std::string>{"Settings not reloaded: " + profile + ":1: no section"},
            files.refresh());
  replace("[Form]\nA=bad\n");
  EXPECT_EQ(std::vector<std::string>{"Settings not reloaded: " + profile + ":3: not a number"},
            files.refresh());
  replace("[Other]\nA=3\n");
  EXPECT_EQ("d", value());
  dir_.write("profile.ini", "[Form]\nA=4\n");
  EXPECT_EQ("d", value());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (value() != "4" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ("4", value());
  // Each version taken is told once, the first read among them; none passed over.
  EXPECT_EQ((std::vector<std::string>{"[Form]\nA=1\n", "[Other]\nA=3\n", "[Form]\nA=4\n"}), taken);
}

TEST(ParseLeadingInt, ConvertsLikeAtoi) {
  std::pair<const char*, int> cases[] = {{"  42abc", 42}, {"\t-7", -7}, {"+5", 5},
                                         {"x5", 0},       {"", 0},      {"3000000000", 2147483647}};
  for (auto [text, expected] : cases)
    EXPECT_EQ(expected, platform::parse_leading_int(text)) << text;
  EXPECT_EQ(-2147483647 - 1, platform::parse_leading_int("-99999999999999999999"));
}

}  // namespace
