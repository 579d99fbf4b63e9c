#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <map>
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

bool write_all(int fd, const std::string& content) {
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return false;
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// The whole file read under a shared lock, so a concurrent rewrite is never
// seen half done.
std::optional<std::string> read_file_shared(const std::string& file) {
  int fd = open_regular_file(native_path(file).c_str(), O_RDONLY);
  if (fd < 0) return std::nullopt;
  flock(fd, LOCK_SH);
  std::string content;
  bool ok = read_all(fd, content);
  close(fd);
  if (!ok) return std::nullopt;
  return content;
}

// A settings file as its readers see it: the first occurrence of each section (by
// name, regardless of case) with its keys in file order. A later occurrence of a
// section adds nothing, as the first one is where every lookup ends.
struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;  // value trimmed, unquoted
};

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

// The files read so far, by the name the caller used, when files are remembered.
// A file that could not be read is remembered as absent.
struct RememberedFiles {
  std::mutex mutex;
  bool enabled = false;
  std::map<std::string, std::optional<std::vector<IniSection>>, std::less<>> files;
};

RememberedFiles& remembered_files() {
  static RememberedFiles remembered;
  return remembered;
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

// Calls `answer` with the parsed file (nullptr when it cannot be read): from memory
// when files are remembered and this one was read before, else read now.
template <typename Answer>
auto with_sections(const std::string& file, Answer answer) {
  RememberedFiles& remembered = remembered_files();
  std::unique_lock lock(remembered.mutex);
  if (!remembered.enabled) {
    lock.unlock();
    std::optional<std::string> content = read_file_shared(file);
    if (!content) return answer(nullptr);
    std::vector<IniSection> sections = parse_sections(*content);
    return answer(&sections);
  }
  auto found = remembered.files.find(file);
  if (found == remembered.files.end()) {
    std::optional<std::string> content = read_file_shared(file);
    std::optional<std::vector<IniSection>> sections;
    if (content) sections = parse_sections(*content);
    found = remembered.files.emplace(file, std::move(sections)).first;
  }
  return answer(found->second ? &*found->second : nullptr);
}

// After a write of `content` to `file`: the file is remembered as written. Files
// remembered as absent are forgotten, as one of them may be the file just created
// under another name; every other name of the written file is forgotten too.
void remember_written(const std::string& file, const std::string& content) {
  RememberedFiles& remembered = remembered_files();
  std::lock_guard lock(remembered.mutex);
  if (!remembered.enabled) return;
  std::string written = native_path(file);
  std::erase_if(remembered.files, [&](const auto& entry) {
    return !entry.second || native_path(entry.first) == written;
  });
  remembered.files.emplace(file, parse_sections(content));
}

// Runs `update` on the file's content under an exclusive lock and writes the
// result back in place (the lock stays on the same file throughout).
// Files remembered by this process are brought up to date with what was written.
template <typename Update>
bool update_locked(const std::string& file, Update update) {
  int fd = open_regular_file(native_path_for_create(file).c_str(), O_RDWR | O_CREAT);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX) == 0;
  std::string content;
  ok = ok && read_all(fd, content);
  std::string updated = ok ? update(content) : std::string();
  ok = ok && write_all(fd, updated);
  close(fd);
  if (ok) remember_written(file, updated);
  return ok;
}

}  // namespace

void remember_ini_files(bool remember) {
  RememberedFiles& remembered = remembered_files();
  std::lock_guard lock(remembered.mutex);
  remembered.enabled = remember;
  remembered.files.clear();
}

std::optional<std::string> find_ini_value(const std::string& file, std::string_view section,
                                          std::string_view key, std::size_t max_length) {
  return with_sections(file, [&](const std::vector<IniSection>* sections) {
    return sections ? lookup(*sections, section, key, max_length) : std::nullopt;
  });
}

std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section) {
  return with_sections(file, [&](const std::vector<IniSection>* sections) {
    std::vector<std::pair<std::string, std::string>> result;
    const IniSection* found = sections ? find_section(*sections, section) : nullptr;
    if (!found) return result;
    std::set<std::string> taken;
    for (const auto& [name, value] : found->entries)
      if (taken.insert(folded(name)).second)
        result.emplace_back(name, value.substr(0, kMaxIniValue));
    return result;
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
      file, [&](const std::string& content) { return with_value(content, section, key, value); });
}

std::optional<int> advance_ini_counter(const std::string& file, std::string_view section,
                                       std::string_view key, std::string_view fallback) {
  int current = 0;
  bool ok = update_locked(file, [&](const std::string& content) {
    std::optional<std::string> stored = lookup(content, section, key);
    current = parse_leading_int(stored ? *stored : fallback);
    long long next = static_cast<long long>(current) + 1;
    return with_value(content, section, key, std::to_string(next));
  });
  if (!ok) return std::nullopt;
  return current;
}

}  // namespace platform
