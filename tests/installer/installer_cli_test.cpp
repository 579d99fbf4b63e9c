// The built installer run as an administrator would run it, without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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

// The names in `folder`, in byte order, less `skipped`.
std::vector<std::string> entries_of(const std::string& folder, const std::string& skipped) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename() != skipped) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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

// The installer copied beside a main archive holding `files`, run with the answers.
InstallerRun run_with_main_archive(const TempDir& dir,
                                   const std::vector<testing_support::StoredFile>& files) {
  fs::create_directory(dir.file("site"));
  fs::create_directories(dir.file("bin"));
  fs::copy_file(INSTALLER_BINARY, dir.file("bin/installer"));
  dir.write("bin/VLProDB.CAB", testing_support::stored_cabinet(files));
  return run_installer(dir, answers());
}

const std::string kFailedMain =
    "Setup Windows Application: The files could not all be installed. Run the installer again; "
    "if it fails again, the archive 'VLProDB.CAB' is damaged.\n";

TEST(InstallerCli, ArchiveThatFailedExitsWithOneAndSaysWhy) {
  TempDir dir;
  InstallerRun run =
      run_with_main_archive(dir, {{"README.TXT", "read me"}, {"huge.dat", "", 0x40000001u}});
  EXPECT_EQ(1, run.exit_status);
  EXPECT_EQ("README: " + dir.file("site/VLPro/README.TXT") + "\n", run.out);
  EXPECT_NE(std::string::npos,
            run.err.find("Setup Windows Application: Error\nArchive 'VLProDB.CAB' not extracted "
                         "into '" +
                         dir.file("site/VLPro/") +
                         "': 'huge.dat' declares 1073741825 bytes, more than 1 GiB.\n" +
                         kFailedMain + "['huge.dat' declares 1073741825 bytes, more than 1 GiB]\n"))
      << run.err;
  EXPECT_FALSE(dir.exists("site/VLPro/README.TXT"));
  EXPECT_TRUE(dir.exists("site/VLPro/VELLOC.INI"));
}

TEST(InstallerCli, DamagedArchiveExitsWithOneNamesTheFileAndWritesNothingOfIt) {
  struct Case {
    std::string name;
    std::uint16_t attribs;
    std::string reason;
  };
  const Case cases[] = {
      {"evil\x1b]2;owned\x07", 0x20,
       "['evil<U+001B>]2;owned<U+0007>' has U+001B in its name, a control character]\n"},
      {"Brannic\xef\xbc\x8f..\xef\xbc\x8f..\xef\xbc\x8fx", 0xA0,
       "['Brannic<U+FF0F>..<U+FF0F>..<U+FF0F>x' has U+FF0F in its name, a character that looks "
       "like a folder separator]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    TempDir dir;
    InstallerRun run = run_with_main_archive(
        dir, {{"README.TXT", "read me"}, {c.name, "x", std::nullopt, 0, c.attribs}});
    EXPECT_EQ(1, run.exit_status);
    EXPECT_NE(std::string::npos, run.err.find(kFailedMain + c.reason)) << run.err;
    EXPECT_EQ(std::string::npos, (run.out + run.err).find('\x1b'));
    EXPECT_EQ(std::vector<std::string>{"Brannic"},
              entries_of(dir.file("site/VLPro"), "VELLOC.INI"));
  }
}

}  // namespace
