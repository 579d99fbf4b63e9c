#include "installer/install_sequence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "installer/install_directories.h"
#include "installer/messages.h"
#include "installer/running_server.h"
#include "tests/support/cgi_runner.h"
#include "tests/support/scripted_installer_ui.h"
#include "tests/support/stored_cabinet.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DirectoryAction;
using testing_support::ScriptedInstallerUi;
using testing_support::SettingsAnswer;
using Events = std::vector<std::string>;

const std::string kCabinets = std::string(SOURCE_DIR) + "/tests/data/cab/";
constexpr DirectoryAction kChooseBoth[] = {DirectoryAction::choose_program,
                                           DirectoryAction::choose_samples,
                                           DirectoryAction::press_continue};

// An installer directory holding both archives (named in other letter cases), a site to
// install into and a working directory for the fallback folder.
struct Installation {
  testing_support::TempDir dir;
  ScriptedInstallerUi ui;
  installer::InstallOptions options;
  std::string site;

  Installation() : site(dir.path() + "/site") {
    fs::create_directories(dir.file("installer"));
    fs::create_directories(dir.file("cwd"));
    fs::create_directories(site);
    fs::copy_file(kCabinets + "tree_stored.cab", dir.file("installer/vlprodb.cab"));
    fs::copy_file(kCabinets + "mszip_lzx_qtm.cab", dir.file("installer/SAMPLES.CAB"));
    options.installer_directory = dir.file("installer/");
    options.fallback_folder = dir.file("cwd");
    options.pacing = {std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
  }

  // Both folders picked as the site, Continue, then the settings answered.
  void script_happy_path() {
    ui.directory_showings.push_back({std::begin(kChooseBoth), std::end(kChooseBoth)});
    ui.folders = {site, site};
    ui.settings_showings.push_back({"mail.example.com", "forms@example.com", true});
  }

  bool run() { return installer::run_install_sequence(ui, options); }
};

TEST(InstallSequence, HappyPathRunsEveryStepInOrder) {
  Installation install;
  install.script_happy_path();
  EXPECT_TRUE(install.run());
  const std::string program = install.site + "/VLPro";
  EXPECT_EQ((Events{"message Velloc Pro DB Installation", "licence", "directory page", "browse",
                    "browse", "progress shown", "progress hidden", "progress shown",
                    "progress hidden", "settings page", "message Velloc Pro DB Installation",
                    "readme " + program + "/README.TXT", "progress destroyed"}),
            install.ui.events);
  EXPECT_EQ("Velloc Pro DB License Agreement", install.ui.licence_caption);
  EXPECT_NE(std::string::npos, install.ui.licence_text.find("\r\nVelloc Pro DB 1.01\r\n"));
  EXPECT_TRUE(fs::exists(program + "/README.TXT"));
  EXPECT_TRUE(fs::is_directory(program + "/Brannic/Templates/SendFile"));
  EXPECT_TRUE(fs::exists(install.site + "/Samples/qtm.txt"));
  EXPECT_EQ("[Velloc]\nSMTP=mail.example.com\nDefaultRecipient=forms@example.com\n",
            testing_support::read_file(program + "/VELLOC.INI"));
  // Both archives behind one window: 1 + 295 + 303 bytes.
  ASSERT_FALSE(install.ui.progress_updates.empty());
  const auto& last = install.ui.progress_updates.back();
  EXPECT_EQ("Done...", last.status);
  EXPECT_EQ(599, last.position);
  EXPECT_EQ(226157, last.range);
}

TEST(InstallSequence, EarlyRefusalsEndWithoutCreatingAnything) {
  Installation no_to_unpack;
  no_to_unpack.ui.yes_no_answers = {false};
  EXPECT_FALSE(no_to_unpack.run());
  EXPECT_EQ(Events{"message Velloc Pro DB Installation"}, no_to_unpack.ui.events);

  Installation licence_declined;
  licence_declined.ui.accept_licence = false;
  EXPECT_FALSE(licence_declined.run());
  EXPECT_EQ((Events{"message Velloc Pro DB Installation", "licence"}), licence_declined.ui.events);
  EXPECT_TRUE(fs::is_empty(licence_declined.site));
}

TEST(InstallSequence, VersionQueryFailureIsReportedAndIgnored) {
  Installation install;
  install.options.query_version = [] { return std::optional<unsigned long>(5); };
  install.ui.yes_no_answers = {false};
  install.run();
  ASSERT_EQ(2u, install.ui.messages.size());
  EXPECT_EQ("Error returned from GetVersionEx(): 5", install.ui.messages[0].text);
  EXPECT_EQ("Version Error", install.ui.messages[0].caption);
}

TEST(InstallSequence, ExitAsksAndNoReturnsToThePage) {
  Installation install;
  install.ui.directory_showings = {{DirectoryAction::press_continue, DirectoryAction::press_exit},
                                   {DirectoryAction::press_exit}};
  install.ui.yes_no_answers = {true, false, true};  // M2, M3 No, M3 Yes
  EXPECT_FALSE(install.run());
  EXPECT_EQ(
      (Events{"message Velloc Pro DB Installation", "licence", "directory page", "continue refused",
              "message Exit Setup", "directory page", "message Exit Setup"}),
      install.ui.events);
  EXPECT_EQ((std::vector<bool>{false, false}), install.ui.continue_enabled_on_open);
}

TEST(InstallSequence, EmptyProgramDirectoryFailsWithM6AndReturns) {
  Installation install;
  install.ui.directory_showings = {
      {DirectoryAction::choose_samples, DirectoryAction::press_continue}};
  install.ui.folders = {install.site};
  EXPECT_FALSE(install.run());
  ASSERT_GE(install.ui.messages.size(), 2u);
  EXPECT_EQ("Error Creating ''!\n[Error Code: 2]", install.ui.messages[1].text);
  EXPECT_EQ("Velloc Pro DB 1.01 Installation Warning", install.ui.messages[1].caption);
  EXPECT_EQ((std::vector<bool>{false, false}), install.ui.continue_enabled_on_open);
}

TEST(InstallSequence, MissingParentFoldersOfTheChosenFoldersAreMade) {
  testing_support::TempDir dir;
  ScriptedInstallerUi ui;
  const std::string program = dir.path() + "/srv/cgi-bin/VLPro";
  const std::string samples = dir.path() + "/var/www/html/Samples";
  EXPECT_TRUE(installer::prepare_program_directory(ui, program));
  EXPECT_TRUE(installer::prepare_samples_directory(ui, samples));
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(fs::is_directory(program + "/Brannic/Templates/Mailer"));
  EXPECT_TRUE(fs::is_directory(samples));
}

TEST(InstallSequence, DecliningAnExistingProgramDirectoryReturnsWithValuesKept) {
  Installation install;
  fs::create_directories(install.site + "/VLPro");
  install.script_happy_path();
  install.ui.yes_no_answers = {true, false, true};  // M2, M5 No, M3 Yes
  EXPECT_FALSE(install.run());
  EXPECT_EQ("Directory '" + install.site +
                "/VLPro' already exists!\nDo You Want To Continue With This Directory?",
            install.ui.messages[1].text);
  EXPECT_EQ((std::vector<bool>{false, true}), install.ui.continue_enabled_on_open);
  EXPECT_FALSE(fs::exists(install.site + "/VLPro/Brannic"));
}

TEST(InstallSequence, AcceptingAnExistingProgramDirectoryGoesOn) {
  Installation install;
  fs::create_directories(install.site + "/VLPro/Brannic/Templates");
  install.script_happy_path();
  EXPECT_TRUE(install.run());
  EXPECT_EQ("Velloc Pro DB 1.01 Installation", install.ui.messages[1].caption);
  EXPECT_TRUE(fs::exists(install.site + "/VLPro/Brannic/Templates/Mailer/reply.txt"));
}

TEST(InstallSequence, PlainFileInPlaceOfATemplateDirectoryShowsTheFullPath) {
  Installation install;
  install.script_happy_path();
  fs::create_directories(install.site + "/VLPro");
  std::ofstream(install.site + "/VLPro/Brannic") << "not a directory";
  EXPECT_FALSE(install.run());  // M5 Yes, M6, then the page exits
  EXPECT_EQ("Error Creating '" + install.site + "/VLPro/Brannic/Templates'!\n[Error Code: 20]",
            install.ui.messages[2].text);
  EXPECT_EQ(2, std::count(install.ui.events.begin(), install.ui.events.end(), "directory page"));
}

TEST(InstallSequence, RefusedSamplesDirectoryDestroysTheWindowAndReturns) {
  Installation install;
  fs::create_directories(install.site + "/Samples");
  install.script_happy_path();
  install.ui.yes_no_answers = {true, false, true};  // M2, M5 No, M3 Yes
  EXPECT_FALSE(install.run());
  EXPECT_EQ(
      (Events{"message Velloc Pro DB Installation", "licence", "directory page", "browse", "browse",
              "progress shown", "progress hidden", "message Velloc Pro DB 1.01 Installation",
              "progress destroyed", "directory page", "message Exit Setup"}),
      install.ui.events);
  EXPECT_TRUE(fs::exists(install.site + "/VLPro/README.TXT"));
}

TEST(InstallSequence, MissingSamplesArchiveSaysNothingAndGoesOn) {
  Installation install;
  fs::remove(install.dir.file("installer/SAMPLES.CAB"));
  install.script_happy_path();
  EXPECT_TRUE(install.run());
  EXPECT_EQ(2u, install.ui.messages.size());  // M2 and M8
  EXPECT_TRUE(fs::is_empty(install.site + "/Samples"));
}

TEST(InstallSequence, SettingsPageNeedsBothFieldsAndNoKeepsThem) {
  Installation install;
  install.script_happy_path();
  install.ui.settings_showings = {{"", "forms@example.com", true}, {" ", "x=1%s", true}};
  install.ui.yes_no_answers = {true, false};  // M2, M3 No
  EXPECT_TRUE(install.run());
  EXPECT_EQ(1, std::count(install.ui.events.begin(), install.ui.events.end(), "ok refused"));
  ASSERT_EQ(2u, install.ui.settings_on_open.size());
  EXPECT_EQ(std::make_pair(std::string(), std::string("forms@example.com")),
            install.ui.settings_on_open[1]);
  EXPECT_EQ("[Velloc]\nSMTP= \nDefaultRecipient=x=1%s\n",
            testing_support::read_file(install.site + "/VLPro/VELLOC.INI"));
}

TEST(InstallSequence, CancelledSettingsEndWithM4AndNoSettingsFile) {
  Installation install;
  install.script_happy_path();
  install.ui.settings_showings = {{"mail.example.com", "forms@example.com", false}};
  EXPECT_FALSE(install.run());
  const installer::Message& last = install.ui.messages.back();
  EXPECT_EQ("Setup did not finish correctly.", last.text);
  EXPECT_EQ("Setup Windows Application", last.caption);
  EXPECT_EQ("message Exit Setup", install.ui.events[install.ui.events.size() - 3]);
  EXPECT_FALSE(fs::exists(install.site + "/VLPro/VELLOC.INI"));
  EXPECT_TRUE(fs::exists(install.site + "/Samples/qtm.txt"));
}

// The installer runs as root over folders that others may write to: whatever they plant
// where the installer writes, it never writes or changes anything outside the site.
TEST(InstallSequence, PlantedLinksAreNeverFollowed) {
  enum class Plant { link_to_file, link_to_folder, hard_link, fifo };
  struct Case {
    std::string entry;  // below the site
    Plant plant;
    std::string message;  // shown after M2 (and M5), "" when none
    bool result;
  };
  const std::string failed_main = installer::installation_failed_message("VLProDB.CAB").text;
  const Case cases[] = {
      {"VLPro", Plant::link_to_folder, "Error Creating '@/VLPro'!\n[Error Code: 40]", false},
      {"VLPro/Brannic", Plant::link_to_folder,
       "Error Creating '@/VLPro/Brannic'!\n[Error Code: 40]", false},
      {"VLPro/Brannic/Templates/Mailer", Plant::link_to_folder,
       "Error Creating '@/VLPro/Brannic/Templates/Mailer'!\n[Error Code: 40]", false},
      {"VLPro/README.TXT", Plant::link_to_file, "Error", false},
      {"VLPro/README.TXT", Plant::hard_link, "Error", false},
      {"VLPro/README.TXT", Plant::fifo, "Error", false},
      {"VLPro/VELLOC.INI", Plant::link_to_file, "", true},
      {"Samples", Plant::link_to_folder, "Error Creating '@/Samples'!\n[Error Code: 40]", false},
      {"Samples/lzx.txt", Plant::link_to_file, "Error", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    Installation install;
    install.script_happy_path();
    const std::string secret = install.dir.file("secret"), outside = install.dir.file("outside");
    install.dir.write("secret", "secret");
    chmod(secret.c_str(), 0600);
    fs::create_directory(outside);
    const std::string planted = install.site + "/" + c.entry;
    fs::create_directories(fs::path(planted).parent_path());
    if (c.plant == Plant::link_to_file) fs::create_symlink(secret, planted);
    if (c.plant == Plant::link_to_folder) fs::create_directory_symlink(outside, planted);
    if (c.plant == Plant::hard_link) fs::create_hard_link(secret, planted);
    if (c.plant == Plant::fifo) mkfifo(planted.c_str(), 0644);

    EXPECT_EQ(c.result, install.run());
    std::vector<std::string> texts;
    for (const installer::Message& message : install.ui.messages) texts.push_back(message.text);
    if (!c.message.empty()) {
      std::string expected = c.message;
      if (expected.starts_with("Error Creating '@")) expected.replace(16, 1, install.site);
      EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), expected));
    }
    // The failure names the file refused, on a line of its own.
    const std::string named = failed_main + "\n['" + planted + "' could not be written: ";
    EXPECT_EQ(c.message == "Error" && c.entry.starts_with("VLPro"),
              std::any_of(texts.begin(), texts.end(),
                          [&](const std::string& text) { return text.starts_with(named); }));
    EXPECT_EQ("secret", install.dir.read("secret"));
    struct stat info;
    ASSERT_EQ(0, stat(secret.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_TRUE(fs::is_empty(outside));
  }
}

TEST(InstallSequence, ArchiveThatFailedReplacesM8AndFailsTheRun) {
  const std::string failed_main = installer::installation_failed_message("VLProDB.CAB").text;
  const std::string failed_samples = installer::installation_failed_message("Samples.cab").text;
  struct Case {
    // "" for no archive, "huge" for one that declares 2 GiB, "solidus" for one whose second
    // file's name holds a fullwidth solidus.
    std::string main, samples;
    std::vector<std::string> messages;  // after M2
    std::string absent;                 // an incomplete file that must not be left behind
  };
  const Case cases[] = {
      {"bad_checksum.cab",
       "mszip_lzx_qtm.cab",
       {failed_main},
       "VLPro/Brannic/Templates/Mailer/second.txt"},
      {"", "mszip_lzx_qtm.cab", {failed_main}, ""},
      {"tree_stored.cab", "lzx-premature-matches.cab", {failed_samples}, "Samples/file.txt"},
      {"huge",
       "",
       {"Error", failed_main + "\n['huge.dat' declares 2147483648 bytes, more than 1 GiB]"},
       "VLPro/first.txt"},
      {"tree_stored.cab",
       "solidus",
       {failed_samples +
        "\n['..<U+FF0F>..<U+FF0F>x.htm' has U+FF0F in its name, a character that looks like a "
        "folder separator]"},
       "Samples/first.txt"},
      {"bad_signature.cab", "bad_signature.cab", {failed_main, failed_samples}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.main + " " + c.samples);
    Installation install;
    fs::remove(install.dir.file("installer/vlprodb.cab"));
    fs::remove(install.dir.file("installer/SAMPLES.CAB"));
    auto place = [&](const std::string& cabinet, const std::string& name) {
      if (cabinet == "huge")
        install.dir.write("installer/" + name,
                          testing_support::stored_cabinet(
                              {{"first.txt", "kept"}, {"huge.dat", "x", 0x80000000u}}));
      else if (cabinet == "solidus")
        install.dir.write("installer/" + name,
                          testing_support::stored_cabinet(
                              {{"first.txt", "kept"},
                               {"..\xef\xbc\x8f..\xef\xbc\x8fx.htm", "x", std::nullopt, 0, 0xA0}}));
      else if (!cabinet.empty())
        fs::copy_file(kCabinets + cabinet, install.dir.file("installer/" + name));
    };
    place(c.main, "VLProDB.CAB");
    place(c.samples, "Samples.cab");
    install.script_happy_path();
    EXPECT_FALSE(install.run());
    std::vector<std::string> texts;
    for (std::size_t i = 1; i < install.ui.messages.size(); ++i)
      texts.push_back(install.ui.messages[i].text);
    EXPECT_EQ(c.messages, texts);
    EXPECT_EQ("Setup Windows Application", install.ui.messages.back().caption);
    EXPECT_EQ(installer::MessageIcon::stop, install.ui.messages.back().icon);
    // The settings file and the README follow as after a complete installation.
    EXPECT_TRUE(fs::exists(install.site + "/VLPro/VELLOC.INI"));
    EXPECT_EQ("readme " + install.site + "/VLPro/README.TXT",
              install.ui.events[install.ui.events.size() - 2]);
    if (!c.absent.empty()) {
      EXPECT_FALSE(fs::exists(install.site + "/" + c.absent));
    }
  }
}

TEST(InstallerDirectory, IsCutAfterTheLastSlash) {
  EXPECT_EQ("/opt/velloc/", installer::installer_directory_of("/opt/velloc/installer"));
  EXPECT_EQ("/opt/v.1/", installer::installer_directory_of("/opt/v.1/installer"));
  EXPECT_EQ("", installer::installer_directory_of("installer"));
}

}  // namespace

namespace {

// Starts `program` (a copy of the shell) on `script` in a process group of its own; SIGHUP
// does not end it when `waits_for_hangup` (ignored: the shell would unblock it).
pid_t start_shell(const std::string& program, const char* script, bool waits_for_hangup) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (waits_for_hangup) signal(SIGHUP, SIG_IGN);
    execl(program.c_str(), "velloc", "-c", script, program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Whether `parent` has a child that executed `program` (not only forked from the shell).
bool started_worker(pid_t parent, const std::string& program) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                         "/children");
  for (pid_t child; children >> child;) {
    std::ifstream cmdline("/proc/" + std::to_string(child) + "/cmdline");
    std::string first;
    std::getline(cmdline, first, '\0');
    if (first == program) return true;
  }
  return false;
}

// Whether the shell `pid` waits for its `sleep` with SIGHUP unblocked: while it
// starts a command it blocks every signal for a moment.
bool settled(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  bool sleeping = false;
  for (pid_t child; children >> child;) {
    std::error_code error;
    sleeping |=
        fs::read_symlink("/proc/" + std::to_string(child) + "/exe", error).filename().string() ==
        "sleep";
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("SigBlk:"))
      return sleeping && ((std::strtoull(line.c_str() + 7, nullptr, 16) >> (SIGHUP - 1)) & 1) == 0;
  return false;
}

}  // namespace

// Only the supervisor of a persistent server (the program with a worker running the program
// too, waiting for SIGHUP) is told of an upgrade, also once a new file was renamed over its
// program; a run as a CGI script, even while a child it forks has not yet become another
// program, is not.
TEST(RunningServers, OnlySupervisorsOfTheProgramAreFound) {
  testing_support::TempDir dir;
  const std::string program = fs::canonical(dir.path()).string() + "/velloc";
  fs::copy_file("/bin/sh", program);
  chmod(program.c_str(), 0755);
  const char* with_worker = "\"$0\" -c 'sleep 30; :' & sleep 30; :";
  pid_t server = start_shell(program, with_worker, true);
  pid_t cgi_run = start_shell(program, with_worker, false);
  ASSERT_GT(server, 0);
  ASSERT_GT(cgi_run, 0);
  for (int tries = 0; tries < 1000; ++tries) {
    if (started_worker(server, program) && started_worker(cgi_run, program) && settled(server) &&
        settled(cgi_run))
      break;
    usleep(2000);
  }
  EXPECT_EQ(std::vector<pid_t>{server}, installer::running_servers(program));
  dir.write("new", "new program");
  fs::rename(dir.file("new"), program);
  EXPECT_EQ(std::vector<pid_t>{server}, installer::running_servers(program));
  EXPECT_TRUE(installer::running_servers(program + "x").empty());
  for (pid_t group : {server, cgi_run}) {
    kill(-group, SIGKILL);
    waitpid(group, nullptr, 0);
  }
}
