#include "installer/settings_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "installer/settings_check_run.h"
#include "tests/support/cgi_runner.h"
#include "tests/support/scripted_installer_ui.h"

namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::TempDir;

// Sets TMP and TEMP for one test (nullptr unsets) and restores them afterwards.
class TemporaryEnvironment {
 public:
  TemporaryEnvironment(const char* tmp, const char* temp) {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    set("TMP", tmp);
    set("TEMP", temp);
  }
  ~TemporaryEnvironment() {
    for (std::size_t i = 0; i < 2; ++i) set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }

 private:
  static constexpr const char* kNames[] = {"TMP", "TEMP"};
  static void set(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  std::vector<std::optional<std::string>> saved_;
};

TEST(WriteSettingsFile, NewFileHasThreeLinesAsTyped) {
  TempDir dir;
  TemporaryEnvironment environment(dir.file("tmp").c_str(), nullptr);
  fs::create_directories(dir.file("VLPro"));
  installer::SettingsOutcome outcome =
      installer::write_settings_file(dir.file("VLPro"), " mail.example.com ", "a=b%d@example.com");
  EXPECT_EQ("[Velloc]\nSMTP= mail.example.com \nDefaultRecipient=a=b%d@example.com\n",
            dir.read("VLPro/VELLOC.INI"));
  EXPECT_FALSE(outcome.kept);
}

// An upgrade keeps what the operator wrote: sections, keys, profiles, comments and the
// receipt counter; only the keys the settings page asks for are added where missing.
TEST(WriteSettingsFile, ExistingFileIsKeptAndGetsOnlyMissingKeys) {
  struct Case {
    const char* name;  // as it stands on disk
    std::string before;
    std::string after;
    std::vector<std::string> added;
  };
  const std::string operators =
      "; site settings\r\n[Velloc]\r\nReceiptNumber=41\r\nsmtp = old:2525\r\n"
      "InboxSecret=s3cret\r\n\r\n[Profile contact]\r\nDefaultRecipient=x@example.com\r\n";
  const Case cases[] = {
      {"VELLOC.INI",
       operators,
       "; site settings\r\n[Velloc]\r\nReceiptNumber=41\r\nsmtp = old:2525\r\n"
       "InboxSecret=s3cret\r\nDefaultRecipient=r\r\n\r\n[Profile contact]\r\n"
       "DefaultRecipient=x@example.com\r\n",
       {"DefaultRecipient=r"}},
      {"velloc.ini",
       "[Velloc]\nSMTP=a\nDEFAULTRECIPIENT=\nLOG_LEVEL=15\n",
       "[Velloc]\nSMTP=a\nDEFAULTRECIPIENT=\nLOG_LEVEL=15\n",
       {}},
      {"VELLOC.INI",
       "[Other]\nKey=1\n",
       "[Other]\nKey=1\n[Velloc]\nSMTP=s\nDefaultRecipient=r\n",
       {"SMTP=s", "DefaultRecipient=r"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    TemporaryEnvironment environment(dir.file("tmp").c_str(), nullptr);
    dir.write(std::string("VLPro/") + c.name, c.before);
    installer::SettingsOutcome outcome =
        installer::write_settings_file(dir.file("VLPro"), "s", "r");
    EXPECT_EQ(c.after, dir.read(std::string("VLPro/") + c.name)) << c.before;
    EXPECT_TRUE(outcome.kept);
    EXPECT_EQ(c.added, outcome.added) << c.before;
    EXPECT_EQ(1, std::distance(fs::directory_iterator(dir.file("VLPro")), {})) << c.before;
    EXPECT_TRUE(fs::is_directory(dir.file("tmp")));
  }
}

TEST(WriteSettingsFile, KeptFileIsNotedAfterTheFinishMessage) {
  TempDir dir;
  testing_support::ScriptedInstallerUi ui;
  installer::finish_installation(ui, dir.path(), {}, {true, {"SMTP=s", "DefaultRecipient=r"}});
  installer::finish_installation(ui, dir.path(), {}, {true, {}});
  installer::finish_installation(ui, dir.path(), {}, {});
  installer::finish_installation(ui, dir.path(), {}, {true, {}}, {"check", "0 errors"});
  const std::string kept = "Settings file '" + dir.path() + "/VELLOC.INI' kept as it was";
  EXPECT_EQ((std::vector<std::string>{kept + "; added: 'SMTP=s' 'DefaultRecipient=r'.",
                                      kept + "; nothing added.", kept + "; nothing added.", "check",
                                      "0 errors"}),
            ui.reasons);
}

TEST(WriteSettingsFile, TemporaryDirectoryIsCreatedOneLevel) {
  TempDir dir;
  struct Case {
    const char* tmp;
    const char* temp;
    std::string created;  // empty: nothing is created
  };
  const std::string tmp = dir.file("from_tmp"), temp = dir.file("from_temp");
  const std::string deep = dir.file("missing/deeper");
  const Case cases[] = {
      {tmp.c_str(), temp.c_str(), tmp},
      {nullptr, temp.c_str(), temp},
      {nullptr, deep.c_str(), ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(tmp);
    fs::remove_all(temp);
    TemporaryEnvironment environment(c.tmp, c.temp);
    installer::write_settings_file(dir.path(), "s", "r");
    EXPECT_EQ(c.created == tmp, fs::is_directory(tmp));
    EXPECT_EQ(c.created == temp, fs::is_directory(temp));
    EXPECT_FALSE(fs::exists(dir.file("missing")));
    EXPECT_EQ("[Velloc]\nSMTP=s\nDefaultRecipient=r\n", dir.read("VELLOC.INI"));
  }
  TemporaryEnvironment neither(nullptr, nullptr);
  EXPECT_EQ("/tmp", installer::temporary_directory());
}

TEST(WriteSettingsFile, UnwritableFileIsSilentAndTheFinishFollows) {
  TempDir dir;
  TemporaryEnvironment environment(dir.file("tmp").c_str(), nullptr);
  fs::create_directories(dir.file("VLPro/VELLOC.INI"));  // a directory in the way
  testing_support::ScriptedInstallerUi ui;
  for (std::string program : {dir.file("missing/VLPro"), dir.file("VLPro")}) {
    installer::write_settings_file(program, "s", "r");
    installer::finish_installation(ui, program);
  }
  EXPECT_FALSE(fs::exists(dir.file("tmp")));  // only made once the file is open
  EXPECT_EQ(
      (std::vector<std::string>{
          "message Velloc Pro DB Installation", "readme " + dir.file("missing/VLPro/README.TXT"),
          "message Velloc Pro DB Installation", "readme " + dir.file("VLPro/README.TXT")}),
      ui.events);
  EXPECT_EQ("Installation has been successfully completed! Click OK to view the README file.\n",
            ui.messages[0].text);
}

TEST(WriteSettingsFile, PathsLongerThan259CharactersAreNotWritten) {
  TempDir dir;
  TemporaryEnvironment environment(dir.file("tmp").c_str(), nullptr);
  const std::size_t file_part = std::string("/VELLOC.INI").size();
  for (std::size_t length : {259u, 260u}) {
    std::string program = dir.path() + "/";
    program += std::string(length - file_part - program.size(), 'p');
    fs::create_directories(program);
    installer::write_settings_file(program, "s", "r");
    EXPECT_EQ(length == 259, fs::exists(program + "/VELLOC.INI")) << length;
  }
}

// The installed program's report of the installed settings file, bounded in time
// whatever the program does.
TEST(WriteSettingsFile, InstalledSettingsAreCheckedByTheInstalledProgram) {
  struct Case {
    std::string program;  // the shell script installed as velloc; "" for none
    std::vector<std::string> report;
  };
  const Case cases[] = {
      {"echo \"$1 $2 ${3##*/}\"; echo '0 errors, 1 warning' >&2; exit 1",
       {"--check --settings VELLOC.INI", "0 errors, 1 warning"}},
      {"", {}},
      {"kill -9 $$", {"The check ended with signal 9."}},
      {"echo started; exec sleep 60",
       {"started", "The check did not end in time and was stopped."}},
      {"exec >&- 2>&-; exec sleep 60", {"The check did not end in time and was stopped."}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (!c.program.empty()) {
      dir.write("velloc", "#!/bin/sh\n" + c.program + "\n");
      chmod(dir.file("velloc").c_str(), 0755);
    }
    std::vector<std::string> lines =
        installer::check_installed_settings(dir.path(), std::chrono::milliseconds(300));
    if (c.program.empty()) {
      EXPECT_TRUE(lines.empty());  // nothing installed to check with
      continue;
    }
    EXPECT_EQ("Checking the settings: " + dir.file("velloc") + " --check --settings " +
                  dir.file("VELLOC.INI"),
              lines.front());
    EXPECT_EQ(c.report, std::vector<std::string>(lines.begin() + 1, lines.end())) << c.program;
  }
}

}  // namespace
