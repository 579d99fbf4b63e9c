// The parts of the terminal dialogs that need no terminal: text layout, button captions, the
// progress bar and animation, the folder listing of the browser and the README viewer's
// command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installer/folder_listing.h"
#include "installer/newt_text.h"
#include "installer/readme_viewer.h"

namespace installer {
namespace {

using Lines = std::vector<std::string>;

TEST(WrapLines, BreaksAtSpacesAndLineEnds) {
  struct Case {
    std::string text;
    std::size_t width;
    Lines expected;
  } cases[] = {
      {"", 10, {}},
      {"short", 10, {"short"}},
      {"one two three", 7, {"one two", "three"}},
      {"one two three", 8, {"one two", "three"}},
      {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
      {"a\r\nb\nc\rd", 10, {"a", "b", "c", "d"}},
      {"para one\r\n\r\npara two\r\n\r\n", 20, {"para one", "", "para two"}},
      {"Installation done!\n", 40, {"Installation done!"}},
      {"\xc3\xa4\xc3\xb6\xc3\xbc \xc3\xa4", 4, {"\xc3\xa4\xc3\xb6\xc3\xbc", "\xc3\xa4"}},
      {"\xc3\xa4\xc3\xb6\xc3\xbc", 2, {"\xc3\xa4\xc3\xb6", "\xc3\xbc"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, wrap_lines(c.text, c.width)) << c.text;
}

TEST(WrapLines, NoLineIsWiderThanAsked) {
  std::string text =
      "Do you accept all of the terms of the preceding License Agreement? If you choose No, "
      "Install will close. To install you must accept this agreement.";
  Lines lines = wrap_lines(text, 60);
  ASSERT_EQ(3u, lines.size());
  std::string rejoined;
  for (const std::string& line : lines) {
    EXPECT_LE(display_width(line), 60u);
    rejoined += (rejoined.empty() ? "" : " ") + line;
  }
  EXPECT_EQ(text, rejoined);
}

TEST(ButtonText, CaptionsAndShortcuts) {
  struct Case {
    std::string text, caption;
    char shortcut;
  } cases[] = {
      {"&Yes", "Yes", 'y'},
      {"&No", "No", 'n'},
      {"&Cancel", "Cancel", 'c'},
      {"Choose..", "Choose..", 0},
      {"Save && &Quit", "Save & Quit", 'q'},
      {"End&", "End&", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.caption, button_caption(c.text)) << c.text;
    EXPECT_EQ(c.shortcut, button_shortcut(c.text)) << c.text;
  }
}

TEST(ButtonText, MessageButtonsKeepTheirOrder) {
  EXPECT_EQ(Lines({"OK"}), message_button_texts(MessageButtons::ok));
  EXPECT_EQ(Lines({"&Yes", "&No"}), message_button_texts(MessageButtons::yes_no));
}

TEST(ButtonText, RowsAreCentred) {
  EXPECT_EQ(6, button_width("&Yes"));
  EXPECT_EQ(13, button_row_width({"&Yes", "&No"}));
  EXPECT_EQ(std::vector<int>({3, 11}), centred_button_columns({"&Yes", "&No"}, 20));
  EXPECT_EQ(std::vector<int>({0}), centred_button_columns({"Continue"}, 5));
}

TEST(FitPath, KeepsTheEndOfLongPaths) {
  EXPECT_EQ("/srv/www", fit_path("/srv/www", 8));
  EXPECT_EQ("...w/VLPro", fit_path("/srv/www/VLPro", 10));
  EXPECT_EQ("..", fit_path("/srv/www/VLPro", 2));
  EXPECT_EQ("...\xc3\xa4", fit_path("/x/\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4", 4));
}

TEST(PadRight, CoversToTheWidthAndKeepsLongerTexts) {
  EXPECT_EQ("ab  ", pad_right("ab", 4));
  EXPECT_EQ("\xc3\xa4 ", pad_right("\xc3\xa4", 2));
  EXPECT_EQ("abcdef", pad_right("abcdef", 4));
}

TEST(BarFill, ClampsToTheBar) {
  struct Case {
    long long position, range, expected;
  } cases[] = {
      {1, 100, 10}, {50, 100, 500}, {100, 100, 1000},      {300000, 226157, 1000},     {-5, 100, 0},
      {0, 100, 0},  {5, 0, 1000},   {113078, 226157, 499}, {2147483647, 226157, 1000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, bar_fill(c.position, c.range, 1000)) << c.position << "/" << c.range;
}

TEST(Animation, AdvancesAndRepeats) {
  EXPECT_NE(animation_frame(0), animation_frame(1));
  EXPECT_EQ(animation_frame(3), animation_frame(3 + kAnimationFrames));
  for (std::size_t frame = 0; frame < kAnimationFrames; ++frame)
    EXPECT_EQ(kAnimationWidth, animation_frame(frame).size());
}

class FolderListing : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("newt_ui_test_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string path(const std::string& name) const { return (root_ / name).string(); }

  std::filesystem::path root_;
};

TEST_F(FolderListing, ListsSubfoldersSortedWithoutRegardToCase) {
  for (const char* name : {"beta", "Alpha", "alpha", "gamma", ".hidden"})
    std::filesystem::create_directory(path(name));
  std::ofstream(path("afile.txt")) << "x";
  std::filesystem::create_directory_symlink(path("gamma"), path("Delta"));
  std::filesystem::create_symlink(path("afile.txt"), path("link-to-file"));
  EXPECT_EQ(Lines({"..", "Alpha", "alpha", "beta", "Delta", "gamma"}),
            list_subfolders(root_.string()));
}

TEST_F(FolderListing, RootHasNoWayUpAndMissingFoldersListNothingElse) {
  EXPECT_EQ("..", list_subfolders(path("missing")).at(0));
  EXPECT_EQ(1u, list_subfolders(path("missing")).size());
  Lines root = list_subfolders("/");
  EXPECT_TRUE(std::find(root.begin(), root.end(), "..") == root.end());
  EXPECT_TRUE(std::find(root.begin(), root.end(), "tmp") != root.end());
}

TEST(FolderMoves, EnterAndTypedPaths) {
  EXPECT_EQ("/srv/www", enter_folder("/srv", "www"));
  EXPECT_EQ("/srv", enter_folder("/srv/www", ".."));
  EXPECT_EQ("/srv", enter_folder("/srv/www/", ".."));
  EXPECT_EQ("/", enter_folder("/srv", ".."));
  EXPECT_EQ("/", enter_folder("/", ".."));

  struct Case {
    std::string typed;
    std::optional<std::string> expected;
  } cases[] = {
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"/opt/site/", "/opt/site"},
      {"www", "/srv/www"},
      {"../etc", "/etc"},
      {"~", "/home/ann"},
      {"~/public", "/home/ann/public"},
      {"/a/./b/../c", "/a/c"},
      {" x", "/srv/ x"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, typed_folder("/srv", c.typed, "/home/ann"));
}

TEST_F(FolderListing, OnlyExistingFoldersCount) {
  std::ofstream(path("file")) << "x";
  EXPECT_TRUE(is_folder(root_.string()));
  EXPECT_FALSE(is_folder(path("file")));
  EXPECT_FALSE(is_folder(path("missing")));
}

TEST(ReadmeViewer, VisualThenEditorThenPager) {
  struct Case {
    const char* visual;
    const char* editor;
    Lines expected;
  } cases[] = {
      {"vi", "nano", {"vi", "/p/README.TXT"}},
      {nullptr, "nano", {"nano", "/p/README.TXT"}},
      {"", "nano", {"nano", "/p/README.TXT"}},
      {"  ", nullptr, {"sensible-pager", "/p/README.TXT"}},
      {nullptr, nullptr, {"sensible-pager", "/p/README.TXT"}},
      {"emacs -nw", nullptr, {"emacs", "-nw", "/p/README.TXT"}},
      {"vi; rm -rf /", nullptr, {"vi;", "rm", "-rf", "/", "/p/README.TXT"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, readme_viewer_command(c.visual, c.editor, "/p/README.TXT"));
}

TEST_F(FolderListing, ViewerRunsToTheEndAndMissingViewersAreIgnored) {
  std::string marker = path("seen");
  run_readme_viewer({"/bin/sh", "-c", "echo \"$0\" > " + marker, "/p/README.TXT"});
  std::ifstream seen(marker);
  std::string line;
  std::getline(seen, line);
  EXPECT_EQ("/p/README.TXT", line);
  run_readme_viewer({"no-such-viewer-anywhere", "/p/README.TXT"});
}

}  // namespace
}  // namespace installer
