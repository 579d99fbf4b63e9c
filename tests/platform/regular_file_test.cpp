#include "platform/regular_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/file_lock.h"
#include "tests/support/cgi_runner.h"

namespace {

using testing_support::TempDir;

// What stands at the name decides whether a write may go there; nothing outside the
// folder ("victim") may ever change.
TEST(RegularFile, OutputRefusesEverythingButASoleRegularFile) {
  struct Case {
    const char* what;
    void (*plant)(const TempDir& dir);
    int error;  // 0: opened
  };
  const Case cases[] = {
      {"missing", [](const TempDir&) {}, 0},
      {"regular file", [](const TempDir& dir) { dir.write("out", "old"); }, 0},
      {"link",
       [](const TempDir& dir) { symlink(dir.file("victim").c_str(), dir.file("out").c_str()); },
       ELOOP},
      {"dangling link",
       [](const TempDir& dir) {
         std::filesystem::remove(dir.file("victim"));
         symlink(dir.file("victim").c_str(), dir.file("out").c_str());
       },
       ELOOP},
      {"hard link",
       [](const TempDir& dir) { link(dir.file("victim").c_str(), dir.file("out").c_str()); },
       EMLINK},
      // Without a reader the open itself fails at once instead of waiting for one.
      {"fifo", [](const TempDir& dir) { mkfifo(dir.file("out").c_str(), 0644); }, ENXIO},
      {"folder", [](const TempDir& dir) { std::filesystem::create_directory(dir.file("out")); },
       EISDIR},
  };
  for (const Case& c : cases) {
    for (platform::OutputMode mode :
         {platform::OutputMode::kAppend, platform::OutputMode::kReplace}) {
      SCOPED_TRACE(c.what);
      TempDir dir;
      dir.write("victim", "settings");
      c.plant(dir);
      errno = 0;
      int fd = platform::open_output_file(dir.file("out").c_str(), mode);
      EXPECT_EQ(c.error, fd < 0 ? errno : 0);
      if (fd >= 0) {
        EXPECT_TRUE(platform::write_all(fd, "new", 3));
        close(fd);
        std::string expected =
            mode == platform::OutputMode::kAppend && dir.read("out") != "new" ? "oldnew" : "new";
        EXPECT_EQ(expected, dir.read("out"));
      }
      EXPECT_TRUE(!dir.exists("victim") || dir.read("victim") == "settings");
      // Replacing by rename refuses the same names and leaves the victim alone.
      bool replaced = platform::replace_file(dir.file("out"), "whole");
      EXPECT_EQ(c.error == 0, replaced);
      EXPECT_TRUE(!dir.exists("victim") || dir.read("victim") == "settings");
    }
  }
}

TEST(RegularFile, FolderLinksAreToldFromFolders) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("real"));
  std::filesystem::create_directory_symlink(dir.file("real"), dir.file("linked"));
  EXPECT_FALSE(platform::is_folder_link(dir.file("real")));
  EXPECT_TRUE(platform::is_folder_link(dir.file("linked")));
  EXPECT_TRUE(platform::is_folder_link(dir.file("linked") + "//"));
  EXPECT_FALSE(platform::is_folder_link(dir.file("missing")));
}

// A kept lock is held only while a Hold lives, and a process forked from its owner
// takes it with a file of its own, so that the two still take turns.
TEST(KeptLock, HeldOnlyByAHoldAndForAForkedProcessItsOwn) {
  TempDir dir;
  platform::KeptLock lock(dir.file("store.writer"));
  auto taken_elsewhere = [&] {
    int fd = open(dir.file("store.writer").c_str(), O_RDONLY);
    bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return taken;
  };
  {
    platform::KeptLock::Hold hold(lock, true);
    EXPECT_TRUE(taken_elsewhere());
  }
  EXPECT_FALSE(taken_elsewhere());
  { platform::KeptLock::Hold reading(lock, false); }
  EXPECT_FALSE(taken_elsewhere());

  int releasing[2];
  ASSERT_EQ(0, pipe2(releasing, O_NONBLOCK));
  pid_t child;
  {
    platform::KeptLock::Hold hold(lock, true);
    child = fork();
    if (child == 0) {
      // Gets the lock only once the parent says it lets it go.
      platform::KeptLock::Hold own(lock, true);
      char said = 0;
      _exit(read(releasing[0], &said, 1) == 1 ? 0 : 1);
    }
    ASSERT_EQ(1, write(releasing[1], "r", 1));
  }
  int status = -1;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(releasing[0]);
  close(releasing[1]);
}

}  // namespace
