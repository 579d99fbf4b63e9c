#include "platform/temp_file.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/descriptor_stream.h"
#include "platform/path_map.h"
#include "platform/termination_guard.h"
#include "tests/support/cgi_runner.h"

namespace {

using testing_support::TempDir;

std::size_t entries(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.path()),
                                                std::filesystem::directory_iterator()));
}

TEST(TempFile, OwnerRemovesItsFileButNeverAnotherFileUnderItsName) {
  TempDir dir;
  platform::TempFileRegistry registry;
  {
    std::optional<platform::TempFile> file =
        platform::TempFile::create(dir.path(), "VLM", &registry);
    ASSERT_TRUE(file);
    EXPECT_EQ(1u, entries(dir));
    platform::DescriptorStream out(file->fd());
    out << "body";
    out.flush();
    platform::FileReader in(file->fd(), "");
    EXPECT_EQ("body", std::string(std::istreambuf_iterator<char>(in), {}));
  }
  EXPECT_EQ(0u, entries(dir));

  std::optional<platform::TempFile> swapped =
      platform::TempFile::create(dir.path(), "VLM", nullptr);
  std::string path = swapped->path();
  dir.write("other", "someone else's");
  std::filesystem::rename(dir.file("other"), path);
  swapped.reset();
  EXPECT_EQ(1u, entries(dir));
}

TEST(TempFile, RegistryRemovesWhatIsStillOursOnly) {
  TempDir dir;
  platform::TempFileRegistry registry;
  std::optional<std::string> kept = platform::make_temp_file(dir.path(), "BRN", &registry);
  std::optional<std::string> replaced = platform::make_temp_file(dir.path(), "BRN", &registry);
  ASSERT_TRUE(kept && replaced);
  dir.write("other", "another run's");
  std::filesystem::rename(dir.file("other"), *replaced);
  registry.remove_all();
  EXPECT_FALSE(std::filesystem::exists(*kept));
  EXPECT_TRUE(std::filesystem::exists(*replaced));
}

TEST(TempFile, ReaderByNameRefusesALink) {
  TempDir dir;
  dir.write("victim", "secret");
  symlink(dir.file("victim").c_str(), dir.file("list").c_str());
  platform::FileReader linked(-1, dir.file("list"));
  EXPECT_FALSE(linked);
  platform::FileReader plain(-1, dir.file("victim"));
  EXPECT_EQ("secret", std::string(std::istreambuf_iterator<char>(plain), {}));
}

}  // namespace

// A guard armed by the first file (or the first ending hold) keeps the signals' default
// actions until then, and handles them from then until it goes.
TEST(TerminationGuard, ArmsBeforeTheFirstFileOrHoldOnly) {
  auto term_handled = [] {
    struct sigaction action;
    sigaction(SIGTERM, nullptr, &action);
    return action.sa_handler != SIG_DFL;
  };
  for (bool by_hold : {false, true}) {
    SCOPED_TRACE(by_hold ? "hold" : "file");
    TempDir dir;
    platform::TempFileRegistry registry;
    {
      platform::TerminationGuard guard(registry,
                                       platform::TerminationGuard::Arming::kBeforeFirstFile);
      EXPECT_FALSE(term_handled());
      if (by_hold) {
        platform::TempFileRegistry::EndingHold hold(&registry);
        EXPECT_TRUE(term_handled());
      } else {
        std::optional<std::string> made = platform::make_temp_file(dir.path(), "BRN", &registry);
        ASSERT_TRUE(made);
        EXPECT_TRUE(term_handled());
        std::remove(made->c_str());
      }
    }
    EXPECT_FALSE(term_handled());
  }
}

// SIGTERM while a record is written under a hold: the guard has taken the signal, yet the
// record is finished before the process ends by it (and its temporary files go).
TEST(TerminationGuard, SignalWaitsForTheHoldToBeReleased) {
  TempDir dir;
  std::string record = dir.file("rows.csv");
  pid_t child = fork();
  ASSERT_LE(0, child);
  if (child == 0) {
    platform::TempFileRegistry registry;
    platform::TerminationGuard guard(registry,
                                     platform::TerminationGuard::Arming::kBeforeFirstFile);
    {
      platform::TempFileRegistry::EndingHold hold(&registry);
      platform::make_temp_file(dir.path(), "BRN", &registry);
      kill(getpid(), SIGTERM);
      sigset_t pending;
      for (int waited = 0; waited < 10000; ++waited) {  // until the guard's handler has it
        sigpending(&pending);
        if (!sigismember(&pending, SIGTERM)) break;
        usleep(1000);
      }
      std::FILE* out = std::fopen(record.c_str(), "w");
      std::fputs("Ann,whole row\n", out);
      std::fclose(out);
    }
    for (int waited = 0; waited < 10000; ++waited) usleep(1000);  // ended by the guard
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ("Ann,whole row\n", dir.read("rows.csv"));
  std::error_code ignored;
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path(), ignored), {}));
}

// A signal that reaches another thread (a library's, say) is passed to the thread that
// armed the guard, and ends the run there with its temporary files gone.
TEST(TerminationGuard, SignalToAnotherThreadEndsTheRun) {
  TempDir dir;
  pid_t child = fork();
  ASSERT_LE(0, child);
  if (child == 0) {
    platform::TempFileRegistry registry;
    platform::TerminationGuard guard(registry,
                                     platform::TerminationGuard::Arming::kBeforeFirstFile);
    platform::make_temp_file(dir.path(), "BRN", &registry);
    std::thread other([] { pthread_kill(pthread_self(), SIGTERM); });
    other.join();
    for (int waited = 0; waited < 10000; ++waited) usleep(1000);  // ended by the guard
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(0u, entries(dir));
}
