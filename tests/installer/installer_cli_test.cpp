// The built installer run as an administrator would run it, without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/process.h"
#include "tests/support/cgi_runner.h"
#include "tests/support/stored_cabinet.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

const std::string kCabinets = std::string(SOURCE_DIR) + "/tests/data/cab/";

struct InstallerRun {
  int exit_status = -1;
  std::string out, err;
};

// A copy of the installer beside both archives, run in `dir` with standard input from
// /dev/null.
InstallerRun run_installer(const TempDir& dir, const std::vector<std::string>& arguments) {
  if (!fs::exists(dir.file("bin/installer"))) {
    fs::create_directories(dir.file("bin"));
    fs::copy_file(INSTALLER_BINARY, dir.file("bin/installer"));
    fs::copy_file(kCabinets + "tree_stored.cab", dir.file("bin/VLProDB.CAB"));
    fs::copy_file(kCabinets + "mszip_lzx_qtm.cab", dir.file("bin/Samples.cab"));
  }
  int in = open("/dev/null", O_RDONLY);
  int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  platform::SpawnRequest request{dir.file("bin/installer"), arguments, in, out, err, dir.path()};
  int error = 0;
  pid_t pid = platform::spawn_process(request, &error);
  InstallerRun run;
  int status = 0;
  if (pid > 0 && platform::wait_for_process(pid, 600, 50, &status) && WIFEXITED(status))
    run.exit_status = WEXITSTATUS(status);
  close(in);
  close(out);
  close(err);
  run.out = dir.read("out");
  run.err = dir.read("err");
  return run;
}

std::vector<std::string> answers(std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {
      "--unattended", "--accept-license", "--program-folder", "site",        "--samples-folder",
      "site/",        "--smtp",           "mail.example.com", "--recipient", "forms@example.com"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

TEST(InstallerCli, UnattendedInstallationFinishes) {
  TempDir dir;
  fs::create_directory(dir.file("site"));
  InstallerRun run = run_installer(dir, answers());
  EXPECT_EQ(0, run.exit_status);
  EXPECT_EQ(
      "Velloc Pro DB Installation: Installation has been successfully completed! Click OK "
      "to view the README file.\nREADME: " +
          dir.file("site/VLPro/README.TXT") + "\n",
      run.out);
  EXPECT_EQ("Velloc Pro DB Installation: Do you wish to unarchive Velloc Pro DB now?\n", run.err);
  EXPECT_EQ("[Velloc]\nSMTP=mail.example.com\nDefaultRecipient=forms@example.com\n",
            dir.read("site/VLPro/VELLOC.INI"));
  EXPECT_TRUE(dir.exists("site/VLPro/Brannic/Templates/Mailer/welcome.txt"));
  EXPECT_TRUE(dir.exists("site/Samples/lzx.txt"));

  // Again over the same directories: stopped by default, continued on request.
  InstallerRun stopped = run_installer(dir, answers());
  EXPECT_EQ(1, stopped.exit_status);
  EXPECT_NE(std::string::npos, stopped.err.find("Exit Setup: Setup is not complete."));
  EXPECT_EQ(0, run_installer(dir, answers({"--existing", "continue"})).exit_status);
}

TEST(InstallerCli, UnfinishedRunsExitWithOne) {
  TempDir dir;
  fs::create_directory(dir.file("site"));
  std::vector<std::string> declined = answers();
  declined.erase(declined.begin() + 1);  // no --accept-license
  EXPECT_EQ(1, run_installer(dir, declined).exit_status);
  EXPECT_FALSE(dir.exists("site/VLPro"));

  std::vector<std::string> no_smtp = answers();
  no_smtp[7] = "";
  InstallerRun run = run_installer(dir, no_smtp);
  EXPECT_EQ(1, run.exit_status);
  EXPECT_NE(std::string::npos,
            run.err.find("Setup Windows Application: Setup did not finish correctly.\n"));
  EXPECT_FALSE(dir.exists("site/VLPro/VELLOC.INI"));
}

TEST(InstallerCli, UsageErrorsExitWithTwo) {
  TempDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {},  // terminal dialogs, but standard input is not a terminal
      {"--bogus"},
      {"--smtp", "x"},
      answers({"--existing", "maybe"}),
      answers({"--recipient"}),
      {"--unattended", "--accept-license", "--smtp", "x"},
  };
  for (const auto& arguments : cases) {
    InstallerRun run = run_installer(dir, arguments);
    EXPECT_EQ(2, run.exit_status) << ::testing::PrintToString(arguments);
    EXPECT_NE(std::string::npos, run.err.find("usage: installer"));
    EXPECT_EQ("", run.out);
  }
  InstallerRun help = run_installer(dir, {"--help"});
  EXPECT_EQ(0, help.exit_status);
  EXPECT_TRUE(help.out.starts_with("usage: installer\n"));
  EXPECT_FALSE(dir.exists("VLPro"));
}

TEST(InstallerCli, ArchiveThatFailedExitsWithOneAndSaysWhy) {
  TempDir dir;
  fs::create_directory(dir.file("site"));
  fs::create_directories(dir.file("bin"));
  fs::copy_file(INSTALLER_BINARY, dir.file("bin/installer"));
  dir.write("bin/VLProDB.CAB", testing_support::stored_cabinet(
                                   {{"README.TXT", "read me"}, {"huge.dat", "", 0x40000001u}}));
  InstallerRun run = run_installer(dir, answers());
  EXPECT_EQ(1, run.exit_status);
  EXPECT_EQ("README: " + dir.file("site/VLPro/README.TXT") + "\n", run.out);
  EXPECT_NE(std::string::npos,
            run.err.find("Setup Windows Application: Error\nArchive 'VLProDB.CAB' not extracted "
                         "into '" +
                         dir.file("site/VLPro/") +
                         "': 'huge.dat' declares 1073741825 bytes, more than 1 GiB.\n"
                         "Setup Windows Application: The files could not all be installed. Run "
                         "the installer again; if it fails again, the archive 'VLProDB.CAB' is "
                         "damaged.\n"))
      << run.err;
  EXPECT_FALSE(dir.exists("site/VLPro/README.TXT"));
  EXPECT_TRUE(dir.exists("site/VLPro/VELLOC.INI"));
}

TEST(InstallerCli, DamagedArchiveExitsWithOneAndWritesNothingOfIt) {
  TempDir dir;
  fs::create_directory(dir.file("site"));
  fs::create_directories(dir.file("bin"));
  fs::copy_file(INSTALLER_BINARY, dir.file("bin/installer"));
  dir.write("bin/VLProDB.CAB", testing_support::stored_cabinet(
                                   {{"README.TXT", "read me"}, {"evil\x1b]2;owned\x07", "x"}}));
  InstallerRun run = run_installer(dir, answers());
  EXPECT_EQ(1, run.exit_status);
  EXPECT_NE(std::string::npos,
            run.err.find("Setup Windows Application: The files could not all be installed. Run "
                         "the installer again; if it fails again, the archive 'VLProDB.CAB' is "
                         "damaged.\n"))
      << run.err;
  EXPECT_EQ(std::string::npos, (run.out + run.err).find('\x1b'));
  EXPECT_FALSE(dir.exists("site/VLPro/README.TXT"));
}

}  // namespace
