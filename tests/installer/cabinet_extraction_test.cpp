#include "installer/cabinet_extraction.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "installer/declared_sizes.h"
#include "installer/install_directories.h"
#include "tests/support/cgi_runner.h"
#include "tests/support/scripted_installer_ui.h"
#include "tests/support/stored_cabinet.h"

namespace {

namespace fs = std::filesystem;
using installer::ProgressDialog;
using installer::ProgressPacing;
using testing_support::ScriptedInstallerUi;
using testing_support::stored_cabinet;
using testing_support::TempDir;

const std::string kCabinets = std::string(SOURCE_DIR) + "/tests/data/cab/";
constexpr ProgressPacing kNoPauses{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};

struct ManifestEntry {
  std::string stored_name;
  std::string sha256;
};

// The files that the manifest lists as extracting, by cabinet.
std::map<std::string, std::vector<ManifestEntry>> extracting_files() {
  std::map<std::string, std::vector<ManifestEntry>> files;
  std::ifstream manifest(kCabinets + "manifest.tsv");
  std::string line;
  std::getline(manifest, line);
  while (std::getline(manifest, line)) {
    std::vector<std::string> columns;
    std::stringstream fields(line);
    for (std::string column; std::getline(fields, column, '\t');) columns.push_back(column);
    if (columns.size() == 11 && columns[8] == "OK")
      files[columns[0]].push_back({columns[2], columns[10]});
  }
  return files;
}

std::string sha256_of(const std::string& path) {
  std::string command = "sha256sum '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char digest[65] = {};
  if (pipe == nullptr) return "";
  std::size_t count = fread(digest, 1, 64, pipe);
  pclose(pipe);
  return std::string(digest, count);
}

std::string native_name(std::string stored) {
  std::replace(stored.begin(), stored.end(), '\\', '/');
  return stored;
}

// An installation target with the template directories made, and one extraction into it.
struct Extraction {
  TempDir dir;
  ScriptedInstallerUi ui;
  ProgressDialog progress{ui, kNoPauses};
  std::string destination;

  Extraction() : destination(dir.path() + "/VLPro") {
    installer::prepare_program_directory(ui, destination);
  }

  bool run(const std::string& archive, const std::string& source = kCabinets) {
    return installer::extract_cabinet(archive, source, destination, progress, ui);
  }
  std::string file(const std::string& name) const { return destination + native_name(name); }
  int writes() const {
    int count = 0;
    for (std::size_t i = 1; i < ui.progress_updates.size(); ++i)
      count += ui.progress_updates[i].position > ui.progress_updates[i - 1].position;
    return count;
  }
};

TEST(ExtractCabinet, PositionsAndWritesFollowTheBytesWritten) {
  struct Case {
    std::string cabinet;
    bool result;
    int final_position;
    int writes;
  };
  // bad_checksum: with a 32768-byte input buffer the damaged second block is read before any
  // byte of its second file is written, so only the first file's 992 bytes count.
  const Case cases[] = {
      {"tree_stored.cab", true, 296, 5},
      {"tree_mszip.cab", true, 296, 5},
      {"dates.cab", true, 178, 3},
      {"empty_file.cab", true, 34, 1},
      {"big_100k_stored.cab", true, 102401, 4},
      {"big_100k_mszip.cab", true, 102401, 4},
      {"attribs_handmade.cab", true, 173, 5},
      {"mszip_lzx_qtm.cab", true, 304, 3},
      {"unknown_subdir.cab", false, 56, 1},
      {"bad_checksum.cab", false, 993, 1},
      {"lzx-premature-matches.cab", false, 1, 0},
      {"no_files.cab", false, 1, 0},
      {"bad_signature.cab", false, 1, 0},
      {"missing.cab", false, 1, 0},
  };
  auto manifest = extracting_files();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cabinet);
    Extraction extraction;
    EXPECT_EQ(c.result, extraction.run(c.cabinet));
    for (const ManifestEntry& entry : c.result ? manifest[c.cabinet] : std::vector<ManifestEntry>{})
      EXPECT_EQ(entry.sha256, sha256_of(extraction.file("/" + entry.stored_name)));
    EXPECT_EQ(c.final_position, extraction.progress.position());
    EXPECT_EQ(installer::kProgressRange, extraction.progress.range());
    EXPECT_EQ(c.writes, extraction.writes());
    // Only a file that cannot be opened is reported.
    EXPECT_EQ(c.cabinet == "unknown_subdir.cab" ? 1u : 0u, extraction.ui.messages.size());
  }
}

TEST(ExtractCabinet, StatusNamesStoredNameAndNormalDestination) {
  Extraction extraction;
  std::string given = extraction.destination + " \t";
  EXPECT_TRUE(installer::extract_cabinet("tree_stored.cab", kCabinets + "  ", given,
                                         extraction.progress, extraction.ui));
  EXPECT_EQ(extraction.destination + "/", given);
  std::vector<std::string> statuses;
  for (const auto& update : extraction.ui.progress_updates) {
    if (statuses.empty() || statuses.back() != update.status) statuses.push_back(update.status);
  }
  ASSERT_EQ(5u, statuses.size());
  EXPECT_EQ("Extracting 'README.TXT' to '" + given + "'...", statuses[0]);
  EXPECT_EQ("Extracting 'Brannic\\Templates\\Mailer\\welcome.txt' to '" + given + "'...",
            statuses[2]);
  // Each write is shown before it happens: the first one takes the bar from 1 to 116.
  EXPECT_EQ(116, extraction.ui.progress_updates[1].position);
}

TEST(ExtractCabinet, EmptyDirectoriesExtractNothingAndSayNothing) {
  Extraction extraction;
  std::string empty;
  EXPECT_FALSE(installer::extract_cabinet("tree_stored.cab", kCabinets, empty, extraction.progress,
                                          extraction.ui));
  EXPECT_FALSE(installer::extract_cabinet("tree_stored.cab", "", extraction.destination,
                                          extraction.progress, extraction.ui));
  std::string blank = "   ";
  EXPECT_FALSE(installer::extract_cabinet("tree_stored.cab", kCabinets, blank, extraction.progress,
                                          extraction.ui));
  EXPECT_TRUE(extraction.ui.progress_updates.empty());
  EXPECT_TRUE(extraction.ui.messages.empty());
  EXPECT_EQ(100, extraction.progress.range());
}

TEST(ExtractCabinet, FilesCarryTheStoredLocalTime) {
  const char* previous = std::getenv("TZ");
  std::string saved = previous ? previous : "";
  setenv("TZ", "EST5EDT,M4.1.0,M10.5.0", 1);
  tzset();
  Extraction extraction;
  EXPECT_TRUE(extraction.run("tree_stored.cab"));
  struct Case {
    std::string name;
    std::time_t utc;
  };
  const Case cases[] = {
      {"/README.TXT", 946702798},                  // 1999-12-31 23:59:58 EST
      {"/Brannic/Templates/list.txt", 986213760},  // 2001-04-02 08:16:00 EDT
  };
  for (const Case& c : cases) {
    struct stat info;
    ASSERT_EQ(0, stat(extraction.file(c.name).c_str(), &info));
    EXPECT_EQ(c.utc, info.st_mtime) << c.name;
    EXPECT_EQ(c.utc, info.st_atime) << c.name;
  }
  previous ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST(ExtractCabinet, StoredAttributesAreNotApplied) {
  Extraction extraction;
  EXPECT_TRUE(extraction.run("attribs_handmade.cab"));
  mode_t mask = umask(0);
  umask(mask);
  for (const char* name : {"/Brannic/Templates/Mailer/readonly.txt", "/all_bits.txt"}) {
    struct stat info;
    ASSERT_EQ(0, stat(extraction.file(name).c_str(), &info));
    EXPECT_EQ(0644 & ~mask, info.st_mode & 07777) << name;
  }
}

TEST(ExtractCabinet, ExistingFilesAreReplacedAndCaseIsMatched) {
  Extraction extraction;
  fs::rename(extraction.destination + "/Brannic", extraction.destination + "/brannic");
  std::ofstream(extraction.destination + "/README.TXT") << std::string(5000, 'x');
  TempDir source;
  fs::copy_file(kCabinets + "tree_stored.cab", source.file("TREE_STORED.CAB"));
  EXPECT_TRUE(extraction.run("tree_stored.cab", source.path()));
  EXPECT_EQ(115u, fs::file_size(extraction.destination + "/README.TXT"));
  EXPECT_TRUE(fs::exists(extraction.destination + "/brannic/Templates/Mailer/reply.txt"));
  EXPECT_FALSE(fs::exists(extraction.destination + "/Brannic"));
}

// An upgrade while a persistent server runs: the program file is busy, so the new one is
// renamed over it and the running one goes on undisturbed.
TEST(ExtractCabinet, ProgramThatIsRunningIsReplaced) {
  Extraction extraction;
  const std::string running = extraction.file("/README.TXT");
  fs::copy_file("/bin/sleep", running);
  chmod(running.c_str(), 0755);
  pid_t pid = fork();
  if (pid == 0) {
    execl(running.c_str(), "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  for (int tries = 0; tries < 1000 && fs::read_symlink(exe) != running; ++tries) usleep(2000);
  EXPECT_TRUE(extraction.run("tree_stored.cab"));
  EXPECT_EQ(115u, fs::file_size(running));
  EXPECT_TRUE(extraction.ui.messages.empty());
  EXPECT_EQ(running + " (deleted)", fs::read_symlink(exe).string());
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(ExtractCabinet, MultiPartSetFollowsEachNextPartWithoutRegardToCase) {
  TempDir source;
  for (int part = 1; part <= 5; ++part) {
    std::string name = "cabd_multi_basic_pt" + std::to_string(part) + ".cab";
    std::string copy = part == 1 ? name : "CABD_MULTI_BASIC_PT" + std::to_string(part) + ".CAB";
    fs::copy_file(kCabinets + "multi/" + name, source.file(copy));
  }
  Extraction extraction;
  EXPECT_TRUE(extraction.run("cabd_multi_basic_pt1.cab", source.path()));
  auto files = extracting_files();
  for (const ManifestEntry& entry : files["multi/cabd_multi_basic_pt1.cab"])
    EXPECT_EQ(entry.sha256, sha256_of(extraction.file("/" + entry.stored_name)));
  EXPECT_EQ(191, extraction.progress.position());
}

TEST(ExtractCabinet, SetWithAPartMissingWritesNothing) {
  TempDir source;
  for (int part : {1, 2, 4, 5}) {
    std::string name = "cabd_multi_basic_pt" + std::to_string(part) + ".cab";
    fs::copy_file(kCabinets + "multi/" + name, source.file(name));
  }
  Extraction extraction;
  EXPECT_FALSE(extraction.run("cabd_multi_basic_pt1.cab", source.path()));
  EXPECT_TRUE(extraction.ui.messages.empty());
  EXPECT_EQ(1, extraction.progress.position());
  EXPECT_FALSE(fs::exists(extraction.file("/test1.txt")));
}

TEST(ExtractCabinet, UnknownSubdirectoryStopsTheArchiveWithM7) {
  Extraction extraction;
  EXPECT_FALSE(extraction.run("unknown_subdir.cab"));
  ASSERT_EQ(1u, extraction.ui.messages.size());
  EXPECT_EQ("Error", extraction.ui.messages[0].text);
  EXPECT_EQ("Setup Windows Application", extraction.ui.messages[0].caption);
  EXPECT_TRUE(fs::exists(extraction.file("/README.TXT")));
  EXPECT_FALSE(fs::exists(extraction.file("/Brannic/Templates/Mailer/late.txt")));
}

TEST(ExtractCabinet, OutputThatCannotBeOpenedShowsM7) {
  Extraction directory_in_the_way;
  fs::create_directory(directory_in_the_way.file("/README.TXT"));
  EXPECT_FALSE(directory_in_the_way.run("tree_stored.cab"));
  EXPECT_EQ(1u, directory_in_the_way.ui.messages.size());
  EXPECT_FALSE(fs::exists(directory_in_the_way.file("/Brannic/Templates/list.txt")));

  if (geteuid() == 0) GTEST_SKIP() << "root may write read-only files";
  Extraction read_only;
  std::ofstream(read_only.file("/README.TXT")) << "old";
  chmod(read_only.file("/README.TXT").c_str(), 0444);
  EXPECT_FALSE(read_only.run("tree_stored.cab"));
  EXPECT_EQ(1u, read_only.ui.messages.size());
}

TEST(ExtractCabinet, NamesLeavingTheDestinationAreRefused) {
  const char* names[] = {"..\\escaped.txt", "Brannic\\..\\..\\escaped.txt", "\\escaped.txt",
                         "/escaped.txt", "Brannic\\\\escaped.txt"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    Extraction extraction;
    TempDir source;
    std::ofstream(source.file("evil.cab"), std::ios::binary)
        << stored_cabinet({{"first.txt", "kept"}, {name, "payload"}, {"last.txt", "never"}});
    EXPECT_FALSE(extraction.run("evil.cab", source.path()));
    EXPECT_EQ(1u, extraction.ui.messages.size());
    EXPECT_EQ("kept", testing_support::read_file(extraction.file("/first.txt")));
    EXPECT_FALSE(fs::exists(extraction.file("/last.txt")));
    EXPECT_FALSE(fs::exists(extraction.dir.file("escaped.txt")));
    EXPECT_FALSE(fs::exists("/escaped.txt"));
  }
}

TEST(ExtractCabinet, DeclaredSizesBeyondTheLimitsWriteNothing) {
  using testing_support::StoredFile;
  constexpr std::uint64_t kGiB = installer::kMaxDeclaredFileBytes;
  TempDir probe;
  // Enough files of 1 GiB each to exceed the free space of the test's file system.
  const std::uint64_t files_to_fill = installer::free_bytes_of(probe.path()) / kGiB + 1;
  if (files_to_fill > 60000) GTEST_SKIP() << "too much free space to exceed";
  std::vector<StoredFile> filling = {{"first.txt", "kept"}};
  for (std::uint64_t i = 0; i < files_to_fill; ++i)
    filling.push_back({"fill" + std::to_string(i), "", static_cast<std::uint32_t>(kGiB)});
  struct Case {
    std::vector<StoredFile> files;
    std::string reason_start;
  };
  const Case cases[] = {
      {{{"first.txt", "kept"}, {"huge.dat", "x", static_cast<std::uint32_t>(kGiB + 1)}},
       "'huge.dat' declares 1073741825 bytes, more than 1 GiB"},
      {filling, "the files declare "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason_start);
    Extraction extraction;
    TempDir source;
    std::ofstream(source.file("VLProDB.CAB"), std::ios::binary) << stored_cabinet(c.files);
    EXPECT_FALSE(extraction.run("VLProDB.CAB", source.path()));
    ASSERT_EQ(1u, extraction.ui.messages.size());
    EXPECT_EQ("Error", extraction.ui.messages[0].text);
    ASSERT_EQ(1u, extraction.ui.reasons.size());
    EXPECT_TRUE(extraction.ui.reasons[0].starts_with("Archive 'VLProDB.CAB' not extracted into '" +
                                                     extraction.destination +
                                                     "': " + c.reason_start))
        << extraction.ui.reasons[0];
    EXPECT_FALSE(fs::exists(extraction.file("/first.txt")));
  }
}

TEST(ExtractCabinet, FileOfAFailedArchiveIsRemovedNotLeftIncomplete) {
  // Both fail after their output was opened.
  for (const char* cabinet : {"bad_checksum.cab", "lzx-premature-matches.cab"}) {
    SCOPED_TRACE(cabinet);
    Extraction extraction;
    EXPECT_FALSE(extraction.run(cabinet));
    EXPECT_FALSE(fs::exists(extraction.file("/Brannic/Templates/Mailer/second.txt")));
    EXPECT_FALSE(fs::exists(extraction.file("/file.txt")));
    EXPECT_EQ(cabinet == std::string("bad_checksum.cab"),
              fs::exists(extraction.file("/first.txt")));
  }
}

using testing_support::CabinetShape;
using testing_support::StoredFile;

constexpr std::uint16_t kUtf8 = 0xA0;
constexpr std::uint16_t kQuantum = 0x1502;  // windows of 2^21
constexpr std::uint16_t kLzx = 0x1503;

StoredFile named(std::string name, std::uint16_t attribs = 0x20) {
  return {std::move(name), "payload", std::nullopt, 0, attribs};
}

StoredFile stamped(std::uint16_t date, std::uint16_t time) {
  return {"late.txt", "payload", std::nullopt, 0, 0x20, date, time};
}

StoredFile in_folder(std::uint16_t folder) { return {"late.txt", "payload", std::nullopt, folder}; }

CabinetShape shaped(void (*change)(CabinetShape&)) {
  CabinetShape shape;
  change(shape);
  return shape;
}

// Bytes that no encoder wrote, the same on every run.
std::string noise(std::size_t bytes) {
  std::string out;
  std::uint32_t state = 0x2545F491;
  for (std::size_t i = 0; i < bytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out += static_cast<char>(state & 0xff);
  }
  return out;
}

// A data block of `bytes` bytes of noise, said to be compressed with `compression`.
CabinetShape packed(std::uint16_t compression, std::size_t bytes, bool checksum = true) {
  CabinetShape shape;
  shape.compression = compression;
  shape.checksum = checksum;
  shape.packed_data = noise(bytes);
  return shape;
}

// Whatever the destination holds besides the template folders.
std::vector<std::string> files_below(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), folder).string());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ExtractCabinet, DamagedCabinetsAreRefusedBeforeAnythingIsReplaced) {
  struct Case {
    std::string what;
    StoredFile file;
    CabinetShape shape;
    bool installs;
  };
  const StoredFile unpacked = {"late.txt", std::string(30000, 'x')};
  const Case cases[] = {
      {"sound name", named("late.txt"), {}, true},
      {"UTF-8 name", named("caf\xc3\xa9 \xe2\x82\xac.txt", kUtf8), {}, true},
      {"ISO-8859-1 name", named("caf\xe9.txt"), {}, true},
      {"ISO-8859-1 name that reads as UTF-8", named("caf\xc3\xa9.txt"), {}, true},
      {"block checksum", named("late.txt"), shaped([](CabinetShape& s) { s.checksum = true; }),
       true},
      {"invalid UTF-8", named("bad\xff.txt", kUtf8), {}, false},
      {"overlong UTF-8", named("\xc0\xaf.txt", kUtf8), {}, false},
      {"overlong three bytes", named("\xe0\x80\xaf.txt", kUtf8), {}, false},
      {"surrogate", named("\xed\xa0\x80.txt", kUtf8), {}, false},
      {"past U+10FFFF", named("\xf4\x90\x80\x80.txt", kUtf8), {}, false},
      {"cut sequence", named("caf\xc3", kUtf8), {}, false},
      {"ESC", named("evil\x1b[2J.txt"), {}, false},
      {"CR LF", named("a\r\nb.txt"), {}, false},
      {"TAB", named("a\tb.txt"), {}, false},
      {"DEL", named("a\x7f.txt"), {}, false},
      {"C1 in ISO-8859-1", named("a\x9b.txt"), {}, false},
      {"C1 in UTF-8", named("a\xc2\x9b.txt", kUtf8), {}, false},
      {"line separator", named("a\xe2\x80\xa8.txt", kUtf8), {}, false},
      {"right-to-left override",
       named("a\xe2\x80\xae"
             "fdp.exe",
             kUtf8),
       {},
       false},
      {"division slash", named("a\xe2\x88\x95-b.txt", kUtf8), {}, false},
      {"fraction slash", named("a\xe2\x81\x84-b.txt", kUtf8), {}, false},
      {"fullwidth reverse solidus", named("a\xef\xbc\xbc-b.txt", kUtf8), {}, false},
      {"solidus overlay", named("a\xcc\xb8-b.txt", kUtf8), {}, false},
      {"soft hyphen in ISO-8859-1", named("READ\xadME.TXT"), {}, false},
      {"ISO-8859-1 that reads as UTF-8 U+FF3C", named("a\xef\xbc\xbc-b.txt"), {}, false},
      {"continues into no next cabinet", in_folder(0xFFFE), {}, false},
      {"continues both ways", in_folder(0xFFFF), {}, false},
      {"continues from no previous cabinet", in_folder(0xFFFD), {}, false},
      {"folder that is not there", in_folder(1), {}, false},
      {"next cabinet missing", named("late.txt"), shaped([](CabinetShape& s) { s.flags = 0x02; }),
       false},
      {"set starts elsewhere", named("late.txt"), shaped([](CabinetShape& s) { s.flags = 0x01; }),
       false},
      {"unknown flag", named("late.txt"), shaped([](CabinetShape& s) { s.flags = 0x08; }), false},
      {"version 1.4", named("late.txt"), shaped([](CabinetShape& s) { s.version = 0x0104; }),
       false},
      {"reserved field set", named("late.txt"), shaped([](CabinetShape& s) { s.reserved = 1; }),
       false},
      {"stated length too long", named("late.txt"),
       shaped([](CabinetShape& s) { s.length_change = 1; }), false},
      {"stated length too short", named("late.txt"),
       shaped([](CabinetShape& s) { s.length_change = -1; }), false},
      {"month 13", stamped((24 << 9) | (13 << 5) | 1, 0), {}, false},
      {"day 0", stamped((24 << 9) | (6 << 5), 0), {}, false},
      {"February 30", stamped((24 << 9) | (2 << 5) | 30, 0), {}, false},
      {"hour 24", stamped((24 << 9) | (6 << 5) | 1, 24 << 11), {}, false},
      {"minute 60", stamped((24 << 9) | (6 << 5) | 1, 60 << 5), {}, false},
      {"file beyond its folder's data", {"late.txt", "payload", 40000}, {}, false},
      {"unknown compression", named("late.txt"), shaped([](CabinetShape& s) { s.compression = 4; }),
       false},
      {"LZX window too small", named("late.txt"),
       shaped([](CabinetShape& s) { s.compression = 0x0E03; }), false},
      {"Quantum window too large", named("late.txt"),
       shaped([](CabinetShape& s) { s.compression = 0x1602; }), false},
      {"block fails its checksum", named("late.txt"), shaped([](CabinetShape& s) {
         s.checksum = true;
         s.checksum_change = 1;
       }),
       false},
      {"block larger than 32 KiB", {"late.txt", std::string(32766, 'x')}, {}, false},
      {"cut short", named("late.txt"), shaped([](CabinetShape& s) { s.cut_bytes = 2; }), false},
      {"compressed data without a checksum", unpacked, packed(kQuantum, 64, false), false},
      {"LZX noise", unpacked, packed(kLzx, 20000), false},
      {"MSZIP noise", unpacked, packed(1, 20000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Extraction extraction;
    TempDir source;
    std::ofstream(source.file("VLProDB.CAB"), std::ios::binary)
        << stored_cabinet({{"README.TXT", "new"}, c.file}, c.shape);
    std::ofstream(extraction.file("/README.TXT")) << "old";
    EXPECT_EQ(c.installs, extraction.run("VLProDB.CAB", source.path()));
    EXPECT_TRUE(extraction.ui.messages.empty());
    EXPECT_EQ(c.installs ? "new" : "old",
              testing_support::read_file(extraction.file("/README.TXT")));
    std::vector<std::string> expected = {"README.TXT"};
    if (c.installs) expected.push_back(c.file.name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, files_below(extraction.destination));
  }
}

// What the person installing is told about an archive refused before anything of it was
// written: the entry at fault, shown so that any terminal shows it as it is, and why.
TEST(ExtractCabinet, RefusalNamesTheEntryAndWhy) {
  constexpr std::uint32_t kTwoGiB = 0x80000000u;
  struct Case {
    StoredFile file;
    CabinetShape shape;
    std::string refusal;
  };
  const Case cases[] = {
      {named("late.txt"), {}, ""},
      {named("a\xef\xbc\x8f-b.txt", kUtf8),
       {},
       "'a<U+FF0F>-b.txt' has U+FF0F in its name, a character that looks like a folder "
       "separator"},
      {named("\xef\xbc\x8e\xef\xbc\x8e", kUtf8),
       {},
       "'<U+FF0E><U+FF0E>' has U+FF0E in its name, a character that stands for a full stop"},
      {named("a\xe2\x80\x8b-b", kUtf8),
       {},
       "'a<U+200B>-b' has U+200B in its name, an invisible character"},
      {named("caf\xe9\x1b[2J"),
       {},
       "'caf\xc3\xa9<U+001B>[2J' has U+001B in its name, a control character"},
      {named("a\xcc\xb8-b"),
       {},
       "'a<U+0338>-b' has U+0338 in its name, a character that looks like a folder separator"},
      {named("bad\xff\xc3.txt", kUtf8),
       {},
       "'bad<0xFF><0xC3>.txt' has a name that is not valid UTF-8"},
      {{"huge\x1b.dat", "x", kTwoGiB},
       {},
       "'huge<U+001B>.dat' declares 2147483648 bytes, more than 1 GiB"},
      {{"huge\xc3\xa9.dat", "x", kTwoGiB, 0, kUtf8},
       {},
       "'huge\xc3\xa9.dat' declares 2147483648 bytes, more than 1 GiB"},
      {stamped((24 << 9) | (13 << 5) | 1, 0),
       {},
       "'late.txt' has a date or time that names no real moment"},
      {{"late.txt", "payload", 40000}, {}, "'late.txt' lies beyond the data of its folder"},
      {named("late.txt"), shaped([](CabinetShape& s) {
         s.compression = 4;
         s.checksum = true;
       }),
       "a folder is compressed with a method that is not known"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    Extraction extraction;
    TempDir source;
    std::ofstream(source.file("VLProDB.CAB"), std::ios::binary)
        << stored_cabinet({{"README.TXT", "new"}, c.file}, c.shape);
    std::string refusal = "left from before";
    EXPECT_EQ(c.refusal.empty(),
              installer::extract_cabinet("VLProDB.CAB", source.path(), extraction.destination,
                                         extraction.progress, extraction.ui, &refusal));
    EXPECT_EQ(c.refusal, refusal);
    EXPECT_EQ(c.refusal.empty(), fs::exists(extraction.file("/README.TXT")));
  }
}

}  // namespace
