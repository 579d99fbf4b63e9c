#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <unordered_set>
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

std::optional<std::string> lookup(std::string_view content, std::string_view section,
                                  std::string_view key) {
  bool in_section = false;
  bool seen_section = false;
  for (std::string_view line : split_lines(content)) {
    IniLine parsed = classify(line);
    if (parsed.kind == IniLine::kSection) {
      if (seen_section && in_section) return std::nullopt;
      in_section = equal_ignoring_case(parsed.name, section);
      seen_section = seen_section || in_section;
    } else if (in_section && parsed.kind == IniLine::kKey &&
               equal_ignoring_case(parsed.name, key)) {
      return std::string(parsed.value.substr(0, kMaxIniValue));
    }
  }
  return std::nullopt;
}

std::string upper_ascii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

std::vector<std::pair<std::string, std::string>> section_entries(std::string_view content,
                                                                 std::string_view section) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::unordered_set<std::string> seen_keys;
  bool in_section = false;
  for (std::string_view line : split_lines(content)) {
    IniLine parsed = classify(line);
    if (parsed.kind == IniLine::kSection) {
      if (in_section) break;
      in_section = equal_ignoring_case(parsed.name, section);
    } else if (in_section && parsed.kind == IniLine::kKey) {
      if (seen_keys.insert(upper_ascii(parsed.name)).second)
        entries.emplace_back(std::string(parsed.name),
                             std::string(parsed.value.substr(0, kMaxIniValue)));
    }
  }
  return entries;
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

// Runs `update` on the file's content under an exclusive lock and writes the
// result back in place (the lock stays on the same file throughout).
template <typename Update>
bool update_locked(const std::string& file, Update update) {
  int fd = open_regular_file(native_path_for_create(file).c_str(), O_RDWR | O_CREAT);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX) == 0;
  std::string content;
  ok = ok && read_all(fd, content);
  ok = ok && write_all(fd, update(content));
  close(fd);
  return ok;
}

}  // namespace

std::optional<std::string> find_ini_value(const std::string& file, std::string_view section,
                                          std::string_view key) {
  std::optional<std::string> content = read_file_shared(file);
  if (!content) return std::nullopt;
  return lookup(*content, section, key);
}

std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section) {
  std::optional<std::string> content = read_file_shared(file);
  if (!content) return {};
  return section_entries(*content, section);
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
