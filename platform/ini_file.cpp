#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string_view strip_quotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// One line of a settings file, split into its parts. The line keeps its own
// end.
struct IniLine {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // trimmed, quotes removed
};

IniLine classify(std::string_view line) {
  std::string_view text = trim(line);
  // Editors on some systems put a byte-order mark before the first section.
  if (text.starts_with(kByteOrderMark)) text = trim(text.substr(kByteOrderMark.size()));
  IniLine parsed;
  if (text.empty() || text.front() == ';') return parsed;
  if (text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return parsed;
    parsed.kind = IniLine::kSection;
    parsed.name = trim(text.substr(1, close - 1));
    return parsed;
  }
  std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.kind = IniLine::kKey;
  parsed.name = trim(text.substr(0, equals));
  parsed.value = strip_quotes(trim(text.substr(equals + 1)));
  return parsed;
}

// Splits the content into lines, each keeping its line end.
std::vector<std::string_view> split_lines(std::string_view content) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    end = end == std::string_view::npos ? content.size() : end + 1;
    lines.push_back(content.substr(start, end - start));
    start = end;
  }
  return lines;
}

bool read_all(int fd, std::string& content) {
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, n);
  return n == 0;
}

}  // namespace

std::vector<IniEntry> parse_ini_entries(std::string_view content) {
  std::vector<IniEntry> entries;
  int number = 0;
  for (std::string_view line : split_lines(content)) {
    ++number;
    IniLine parsed = classify(line);
    if (parsed.kind == IniLine::kOther) continue;
    entries.push_back(
        IniEntry{parsed.kind == IniLine::kSection ? IniEntry::Kind::kSection : IniEntry::Kind::kKey,
                 number, std::string(parsed.name), std::string(parsed.value)});
  }
  return entries;
}

// What tells one version of a file from another: a rewrite in place changes the
// size or the modification time, a replacement the inode.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {};
  timespec changed = {};
  // When the file was made, where the file system tells ({0, 0} otherwise): a file that
  // replaced another by rename may have been given the inode the other one left.
  timespec born = {};
  bool operator==(const FileVersion& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           same_time(modified, other.modified) && same_time(changed, other.changed);
  }
  static bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }
};

namespace {

FileVersion version_of(const struct stat& info) {
  return FileVersion{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

std::optional<FileVersion> version_of(const std::string& file) {
  struct statx info;
  if (statx(AT_FDCWD, native_path(file).c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0 ||
      !S_ISREG(info.stx_mode))
    return std::nullopt;
  auto time_of = [](const struct statx_timestamp& t) {
    return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
  };
  FileVersion version{makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino,
                      static_cast<off_t>(info.stx_size), time_of(info.stx_mtime),
                      time_of(info.stx_ctime)};
  if (info.stx_mask & STATX_BTIME) version.born = time_of(info.stx_btime);
  return version;
}

// Whether `now` is the file `before` was, changed in place: the same inode, and not a
// new file that was given that inode again (when the file system tells births).
bool same_file(const FileVersion& before, const FileVersion& now) {
  bool births_known = (before.born.tv_sec | before.born.tv_nsec) != 0 &&
                      (now.born.tv_sec | now.born.tv_nsec) != 0;
  return before.device == now.device && before.inode == now.inode &&
         (!births_known || FileVersion::same_time(before.born, now.born));
}

// File times advance in coarse steps, so a file changed again within the step in
// which it was read may keep its version. Such a file is read again next time.
constexpr time_t kUnsettledSeconds = 2;

bool settled(const FileVersion& version) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - version.modified.tv_sec > kUnsettledSeconds &&
         now.tv_sec - version.changed.tv_sec > kUnsettledSeconds;
}

// A file rewritten in place is taken once it has been left alone this long: a writer
// still at it changes it again sooner.
constexpr long long kQuietNanoseconds = 1'000'000'000;

bool left_alone(const FileVersion& version) {
  auto nanoseconds = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long long last = std::max(nanoseconds(version.modified), nanoseconds(version.changed));
  return nanoseconds(now) - last >= kQuietNanoseconds;
}

}  // namespace

struct FileContent {
  std::string text;
  FileVersion version;
  bool changed_while_read = false;
};

namespace {

// The whole file read under a shared lock, so a concurrent rewrite is never
// seen half done.
std::optional<FileContent> read_file_shared(const std::string& file) {
  int fd = open_regular_file(native_path(file).c_str(), O_RDONLY);
  if (fd < 0) return std::nullopt;
  flock(fd, LOCK_SH);
  FileContent content;
  struct stat info, after;
  bool ok = fstat(fd, &info) == 0 && read_all(fd, content.text) && fstat(fd, &after) == 0;
  close(fd);
  if (!ok) return std::nullopt;
  content.version = version_of(info);
  content.changed_while_read = !(version_of(after) == content.version) ||
                               content.text.size() != static_cast<std::size_t>(info.st_size);
  return content;
}

// A settings file as its readers see it: the first occurrence of each section (by
// name, regardless of case) with its keys in file order. A later occurrence of a
// section adds nothing, as the first one is where every lookup ends.
}  // namespace

struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;  // value trimmed, unquoted
};

namespace {

// The name in lower case, for telling names apart regardless of case.
std::string folded(std::string_view name) {
  std::string result(name);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::vector<IniSection> parse_sections(std::string_view content) {
  std::vector<IniSection> sections;
  std::set<std::string> seen;
  IniSection* current = nullptr;
  for (std::string_view line : split_lines(content)) {
    IniLine parsed = classify(line);
    if (parsed.kind == IniLine::kSection) {
      current = seen.insert(folded(parsed.name)).second
                    ? &sections.emplace_back(IniSection{std::string(parsed.name), {}})
                    : nullptr;
    } else if (current && parsed.kind == IniLine::kKey) {
      current->entries.emplace_back(parsed.name, parsed.value);
    }
  }
  return sections;
}

const IniSection* find_section(const std::vector<IniSection>& sections, std::string_view name) {
  for (const IniSection& section : sections)
    if (equal_ignoring_case(section.name, name)) return &section;
  return nullptr;
}

std::optional<std::string> lookup(const std::vector<IniSection>& sections, std::string_view section,
                                  std::string_view key, std::size_t max_length = kMaxIniValue) {
  const IniSection* found = find_section(sections, section);
  if (!found) return std::nullopt;
  for (const auto& [name, value] : found->entries)
    if (equal_ignoring_case(name, key)) return value.substr(0, max_length);
  return std::nullopt;
}

std::optional<std::string> lookup(std::string_view content, std::string_view section,
                                  std::string_view key) {
  return lookup(parse_sections(content), section, key);
}

std::string_view line_end_of(std::string_view line) {
  if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") return "\r\n";
  return "\n";
}

// The content with [section] key set to value, every other line kept.
std::string with_value(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view value) {
  std::vector<std::string_view> lines = split_lines(content);
  std::string entry = std::string(key) + "=" + std::string(value);
  std::optional<std::size_t> section_line, last_key_line, key_line;
  for (std::size_t i = 0; i < lines.size() && !key_line; ++i) {
    IniLine parsed = classify(lines[i]);
    if (parsed.kind == IniLine::kSection) {
      if (section_line) break;
      if (equal_ignoring_case(parsed.name, section)) section_line = i;
    } else if (section_line && parsed.kind == IniLine::kKey) {
      last_key_line = i;
      if (equal_ignoring_case(parsed.name, key)) key_line = i;
    }
  }
  std::string result;
  std::string_view end = lines.empty() ? "\n" : line_end_of(lines.front());
  auto emit = [&](std::string_view line) { result.append(line); };
  if (!section_line) {
    for (auto line : lines) emit(line);
    if (!result.empty() && result.back() != '\n') result.append(end);
    result.append("[").append(section).append("]").append(end).append(entry).append(end);
    return result;
  }
  std::size_t insert_after = last_key_line ? *last_key_line : *section_line;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (key_line && i == *key_line) {
      result.append(entry).append(line_end_of(lines[i]));
      continue;
    }
    emit(lines[i]);
    if (!key_line && i == insert_after) {
      if (result.back() != '\n') result.append(end);
      result.append(entry).append(end);
    }
  }
  return result;
}

// The keys of the section in file order, a key written twice listed once.
std::vector<std::pair<std::string, std::string>> listed_section(
    const std::vector<IniSection>* sections, std::string_view section) {
  std::vector<std::pair<std::string, std::string>> result;
  const IniSection* found = sections ? find_section(*sections, section) : nullptr;
  if (!found) return result;
  std::set<std::string> taken;
  for (const auto& [name, value] : found->entries)
    if (taken.insert(folded(name)).second) result.emplace_back(name, value.substr(0, kMaxIniValue));
  return result;
}

// Calls `answer` with the parsed file (nullptr when it cannot be read), read now.
template <typename Answer>
auto with_sections_read_now(const std::string& file, Answer answer) {
  std::optional<FileContent> content = read_file_shared(file);
  if (!content) return answer(nullptr);
  std::vector<IniSection> sections = parse_sections(content->text);
  return answer(&sections);
}

}  // namespace

// What an update may do to the file it writes: a file that is kept at its last good
// version is never created and never written while it lacks `required_section`, so that
// a missing or emptied settings file is not turned into one of the counter alone.
struct WriteRules {
  bool create = true;
  bool kept = false;             // written only when complete and with required_section
  std::string required_section;  // empty: any section
};

namespace {

// Whether the content of a kept file is whole: it has the section (any section when
// none is named) and its last line ends. This is where a file still being written is
// told from a finished one; the faults of its values are the caller's check.
std::optional<IniFault> structural_fault(std::string_view content, std::string_view section) {
  if (content.empty()) return IniFault{0, "the file is empty"};
  std::size_t lines = split_lines(content).size();
  if (content.back() != '\n') return IniFault{lines, "the last line has no line end"};
  std::vector<IniSection> sections = parse_sections(content);
  if (section.empty() && sections.empty()) return IniFault{lines, "no section"};
  if (!section.empty() && !find_section(sections, section))
    return IniFault{lines, "no [" + std::string(section) + "] section"};
  return std::nullopt;
}

bool meets(const WriteRules& rules, std::string_view content) {
  return !rules.kept || !structural_fault(content, rules.required_section);
}

// The file opened for update and exclusively locked, once the lock is known to be held
// on the file the name stands for: a writer that replaced the file meanwhile left the
// lock on the old one, and whoever waited there opens the name again. Each new attempt
// means another writer finished.
int open_current_locked(const std::string& native, bool create) {
  constexpr int kMaxAttempts = 10000;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    int fd = open_regular_file(native.c_str(), O_RDWR | (create ? O_CREAT : 0));
    if (fd < 0) return -1;
    struct stat held, named;
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 && stat(native.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return fd;
    close(fd);
  }
  return -1;
}

// The file a name leads to, so that a settings file reached through a symbolic link
// is replaced where it lies and the link stays; empty when it cannot be had.
std::string real_path(const std::string& native) {
  std::unique_ptr<char, decltype(&free)> real(realpath(native.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : std::string();
}

// Writes `text` over the file at `fd` where it stands. The room is taken first, so a
// full disk fails before any byte changes; a shorter text is cut to its size only once
// it is written whole.
bool overwrite_in_place(int fd, off_t old_size, const std::string& text) {
  off_t size = static_cast<off_t>(text.size());
  if (size > old_size) {
    int error = posix_fallocate(fd, 0, size);
    if (error != 0) {
      if (ftruncate(fd, old_size) != 0) {
        // The size is all an emulated reservation could have changed.
      }
      errno = error;
      return false;
    }
  }
  return lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, text.data(), text.size()) &&
         (size >= old_size || ftruncate(fd, size) == 0) && fdatasync(fd) == 0;
}

// Puts `text` in place of the file open and locked at `fd`: a whole new file with the
// same owner, group and mode renamed over it, so that no reader and no failure ever sees
// it cut or emptied. Where that cannot be done (a folder velloc may not write, an owner
// it cannot give, further hard links), the file is overwritten in place.
bool store(const std::string& native, int fd, const struct stat& existing, const std::string& text,
           struct stat* after) {
  std::string real = real_path(native);
  if (existing.st_nlink == 1 && !real.empty()) {
    if (replace_file_keeping_status(real, existing, text, after)) return true;
    if (errno != EACCES && errno != EPERM) return false;
  }
  return overwrite_in_place(fd, existing.st_size, text) && fstat(fd, after) == 0;
}

// Runs `update` on the file's content under an exclusive lock and stores the result.
// Returns the content written and the file's version after the write.
template <typename Update>
std::optional<FileContent> update_locked(const std::string& file, Update update,
                                         const WriteRules& rules = {}) {
  std::string native = rules.create ? native_path_for_create(file) : native_path(file);
  int fd = open_current_locked(native, rules.create);
  if (fd < 0) return std::nullopt;
  std::optional<FileContent> written;
  std::string content;
  struct stat existing, after;
  if (fstat(fd, &existing) == 0 && read_all(fd, content) && meets(rules, content)) {
    FileContent next{update(content), {}};
    if (store(native, fd, existing, next.text, &after)) {
      next.version = version_of(after);
      written = std::move(next);
    }
  }
  close(fd);
  return written;
}

std::string updated_value(const std::string& content, std::string_view section,
                          std::string_view key, std::string_view fallback, int* current) {
  std::optional<std::string> stored = lookup(content, section, key);
  *current = parse_leading_int(stored ? *stored : fallback);
  long long next = static_cast<long long>(*current) + 1;
  return with_value(content, section, key, std::to_string(next));
}

}  // namespace

std::shared_ptr<const std::vector<IniSection>> parsed(std::string_view text) {
  return std::make_shared<const std::vector<IniSection>>(parse_sections(text));
}

// One remembered file: its parsed sections (null when it could not be read), the
// version they were read from, whether that version had settled when read, and the
// version found on disk when last looked at (nullopt: none).
struct RememberedFile {
  std::shared_ptr<const std::vector<IniSection>> sections;
  std::optional<FileVersion> version;
  bool read_settled = false;
  std::optional<FileVersion> seen;
};

// The files read so far, by the name the caller used; the files that keep their last
// good version with the section that makes a version good (every file, with any
// section, when keep_every_file); and the version of each kept file last reported as
// passed over (nullopt: reported missing).
struct IniFiles::State {
  std::mutex mutex;
  std::map<std::string, RememberedFile, std::less<>> files;
  std::map<std::string, std::string, std::less<>> kept;
  bool keep_every_file = false;
  IniCheck check;
  IniTaken taken;
  // The hash of the text last told to `taken`, per file: a version read again while its
  // times settle is told only when its text differs.
  std::map<std::string, std::size_t, std::less<>> told;
  std::map<std::string, std::optional<FileVersion>, std::less<>> reported;

  // The section that makes a version of `file` good; nullopt when it is not kept.
  std::optional<std::string> kept_section(const std::string& file) const {
    auto found = kept.find(file);
    if (found != kept.end()) return found->second;
    if (keep_every_file) return std::string();
    return std::nullopt;
  }
};

IniFiles::IniFiles() : state_(std::make_unique<State>()) {}
IniFiles::~IniFiles() = default;

namespace {

bool holds_section(const RememberedFile& remembered, std::string_view section) {
  if (!remembered.sections) return false;
  return section.empty() ? !remembered.sections->empty()
                         : find_section(*remembered.sections, section) != nullptr;
}

// Whether a version read of a kept file may be taken: the one place that decides it.
std::optional<IniFault> fault_of(const IniFiles::State& state, const std::string& file,
                                 const FileContent& content, std::string_view section) {
  if (std::optional<IniFault> fault = structural_fault(content.text, section)) return fault;
  if (state.check) return state.check(file, content.text);
  return std::nullopt;
}

void tell_taken(IniFiles::State& state, const std::string& file, std::string_view text) {
  if (!state.taken) return;
  auto [told, first] = state.told.try_emplace(file, std::hash<std::string_view>{}(text));
  if (!first && told->second == std::hash<std::string_view>{}(text)) return;
  told->second = std::hash<std::string_view>{}(text);
  state.taken(file, text);
}

// One line per version passed over, not one per refresh that finds it again.
void report(IniFiles::State& state, const std::string& file, std::optional<FileVersion> version,
            const IniFault& fault, std::vector<std::string>& reports) {
  auto [entry, first] = state.reported.try_emplace(file, version);
  if (!first && entry->second == version) return;
  entry->second = version;
  reports.push_back("Settings not reloaded: " + file + ":" + std::to_string(fault.line) + ": " +
                    fault.reason);
}

// A changed version of a file kept at its last good one: taken when good, else passed
// over (the old version stays remembered, so the file is looked at again next time).
// A version rewritten in place within the last second may still be being written and is
// looked at once it has been left alone; one replaced by rename is whole from the start.
void take_if_good(IniFiles::State& state, const std::string& file, std::string_view section,
                  RememberedFile& remembered, std::vector<std::string>& reports) {
  std::optional<FileVersion> now = version_of(file);
  if (!now) {
    remembered.seen.reset();
    report(state, file, std::nullopt, IniFault{0, "the file is missing"}, reports);
    return;
  }
  // Against the file last looked at, not the one taken: a file passed over may have
  // left its inode to the next one.
  const std::optional<FileVersion>& before = remembered.seen;
  bool in_place = before && same_file(*before, *now);
  remembered.seen = now;
  if (in_place && !left_alone(*now)) return;
  std::optional<FileContent> content = read_file_shared(file);
  if (!content || content->changed_while_read) return;
  if (std::optional<IniFault> fault = fault_of(state, file, *content, section)) {
    report(state, file, content->version, *fault, reports);
    return;
  }
  state.reported.erase(file);
  remembered = RememberedFile{parsed(content->text), content->version, settled(content->version),
                              content->version};
  tell_taken(state, file, content->text);
}

}  // namespace

std::vector<std::string> IniFiles::refresh() {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> reports;
  for (auto entry = state_->files.begin(); entry != state_->files.end();) {
    RememberedFile& remembered = entry->second;
    std::optional<FileVersion> now = version_of(entry->first);
    std::optional<std::string> section = state_->kept_section(entry->first);
    if (section && holds_section(remembered, *section)) {
      if (now != remembered.version || !remembered.read_settled)
        take_if_good(*state_, entry->first, *section, remembered, reports);
      ++entry;
      continue;
    }
    bool changed = now != remembered.version || (now && !settled(*now));
    entry = changed ? state_->files.erase(entry) : std::next(entry);
  }
  return reports;
}

void IniFiles::keep_last_good(const std::string& file, std::string_view section) {
  std::lock_guard lock(state_->mutex);
  state_->kept.insert_or_assign(file, std::string(section));
}

void IniFiles::keep_last_good_versions(IniCheck check, IniTaken taken) {
  std::lock_guard lock(state_->mutex);
  state_->keep_every_file = true;
  state_->check = std::move(check);
  state_->taken = std::move(taken);
}

namespace {

// Calls `answer` with the parsed file (nullptr when it cannot be read): from
// memory when this file was read before, else read now and remembered.
template <typename Answer>
auto with_sections(IniFiles::State& state, const std::string& file, Answer answer) {
  std::lock_guard lock(state.mutex);
  auto found = state.files.find(file);
  if (found == state.files.end()) {
    RememberedFile remembered;
    if (std::optional<FileContent> content = read_file_shared(file)) {
      remembered.sections = parsed(content->text);
      remembered.version = content->version;
      remembered.read_settled = settled(content->version);
      remembered.seen = content->version;
      if (state.kept_section(file)) tell_taken(state, file, content->text);
    }
    found = state.files.emplace(file, std::move(remembered)).first;
  }
  return answer(found->second.sections.get());
}

// After a write: the file is remembered as written. Files remembered as absent are
// forgotten, as one of them may be the file just created under another name; every
// other name of the written file is forgotten too.
void remember_written(IniFiles::State& state, const std::string& file, const FileContent& written) {
  std::lock_guard lock(state.mutex);
  std::string path = native_path(file);
  std::erase_if(state.files, [&](const auto& entry) {
    return !entry.second.sections || native_path(entry.first) == path;
  });
  state.files.emplace(file, RememberedFile{parsed(written.text), written.version,
                                           settled(written.version), written.version});
}

}  // namespace

std::optional<std::string> IniFiles::find_value(const std::string& file, std::string_view section,
                                                std::string_view key, std::size_t max_length) {
  return with_sections(*state_, file, [&](const std::vector<IniSection>* sections) {
    return sections ? lookup(*sections, section, key, max_length) : std::nullopt;
  });
}

std::vector<std::pair<std::string, std::string>> IniFiles::read_section(const std::string& file,
                                                                        std::string_view section) {
  return with_sections(*state_, file, [&](const std::vector<IniSection>* sections) {
    return listed_section(sections, section);
  });
}

std::string IniFiles::read_string(const std::string& file, std::string_view section,
                                  std::string_view key, std::string_view fallback) {
  std::optional<std::string> value = find_value(file, section, key);
  return value ? *value : std::string(fallback.substr(0, kMaxIniValue));
}

std::vector<std::string> IniFiles::passed_over() {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> files;
  for (const auto& entry : state_->reported) files.push_back(entry.first);
  return files;
}

IniSnapshot IniFiles::snapshot(const std::string& file) {
  return with_sections(*state_, file, [&](const std::vector<IniSection>*) {
    return IniSnapshot(state_->files.find(file)->second.sections);
  });
}

bool IniSnapshot::has_section(std::string_view section) const {
  return sections_ && find_section(*sections_, section) != nullptr;
}

std::optional<std::string> IniSnapshot::find(std::string_view section, std::string_view key,
                                             std::size_t max_length) const {
  return sections_ ? lookup(*sections_, section, key, max_length) : std::nullopt;
}

std::vector<std::pair<std::string, std::string>> IniSnapshot::section(std::string_view name) const {
  return listed_section(sections_.get(), name);
}

std::vector<std::string> IniSnapshot::section_names() const {
  std::vector<std::string> names;
  if (sections_)
    for (const IniSection& section : *sections_) names.push_back(section.name);
  return names;
}

bool IniFiles::has_section(const std::string& file, std::string_view section) {
  return with_sections(*state_, file, [&](const std::vector<IniSection>* sections) {
    return sections && find_section(*sections, section) != nullptr;
  });
}

WriteRules IniFiles::write_rules(const std::string& file) {
  std::lock_guard lock(state_->mutex);
  auto kept = state_->kept.find(file);
  if (kept == state_->kept.end()) return {};
  return WriteRules{false, true, kept->second};
}

bool IniFiles::write_string(const std::string& file, std::string_view section, std::string_view key,
                            std::string_view value) {
  std::optional<FileContent> written = update_locked(
      file, [&](const std::string& content) { return with_value(content, section, key, value); },
      write_rules(file));
  if (written) remember_written(*state_, file, *written);
  return written.has_value();
}

std::optional<int> IniFiles::advance_counter(const std::string& file, std::string_view section,
                                             std::string_view key, std::string_view fallback) {
  int current = 0;
  std::optional<FileContent> written = update_locked(
      file,
      [&](const std::string& content) {
        return updated_value(content, section, key, fallback, &current);
      },
      write_rules(file));
  if (!written) return std::nullopt;
  remember_written(*state_, file, *written);
  return current;
}

std::optional<std::string> find_ini_value(const std::string& file, std::string_view section,
                                          std::string_view key, std::size_t max_length) {
  return with_sections_read_now(file, [&](const std::vector<IniSection>* sections) {
    return sections ? lookup(*sections, section, key, max_length) : std::nullopt;
  });
}

std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section) {
  return with_sections_read_now(file, [&](const std::vector<IniSection>* sections) {
    return listed_section(sections, section);
  });
}

std::string read_ini_string(const std::string& file, std::string_view section, std::string_view key,
                            std::string_view fallback) {
  std::optional<std::string> value = find_ini_value(file, section, key);
  return value ? *value : std::string(fallback.substr(0, kMaxIniValue));
}

int parse_leading_int(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool write_ini_string(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view value) {
  return update_locked(
             file,
             [&](const std::string& content) { return with_value(content, section, key, value); })
      .has_value();
}

std::optional<int> advance_ini_counter(const std::string& file, std::string_view section,
                                       std::string_view key, std::string_view fallback) {
  int current = 0;
  bool ok = update_locked(file, [&](const std::string& content) {
              return updated_value(content, section, key, fallback, &current);
            }).has_value();
  if (!ok) return std::nullopt;
  return current;
}

}  // namespace platform
