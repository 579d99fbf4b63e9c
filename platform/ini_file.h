// Reads and writes sectioned key=value settings files ("[Section]" lines and
// "key=value" lines). Section and key names match without regard to case; values
// are trimmed and lose one pair of matching enclosing quotes; a key that is present
// with an empty value gives the empty text, only a missing key or file gives the
// default. Only the first occurrence of a section counts, and within it the first
// occurrence of a key. Readers accept "\n" and "\r\n" line ends. The free functions
// read the file whole per call; an IniFiles object reads each file once per change.
// Paths are composed texts mapped by native_path.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Values read from settings files are held to this many characters.
inline constexpr std::size_t kMaxIniValue = 259;

// The value of [section] key in the file, cut to `max_length` characters; nullopt
// when the file cannot be read or has no such key.
std::optional<std::string> find_ini_value(const std::string& file, std::string_view section,
                                          std::string_view key,
                                          std::size_t max_length = kMaxIniValue);

// The keys of [section] in file order with their values as find_ini_value gives
// them; a key that occurs twice is listed once, as find_ini_value sees it. Empty
// when the file or the section is missing.
std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section);

// find_ini_value, or `fallback` when the key is missing.
std::string read_ini_string(const std::string& file, std::string_view section, std::string_view key,
                            std::string_view fallback);

// Decimal conversion as atoi does it: leading white space, an optional sign, digits
// up to the first non-digit; no digits give 0.
int parse_leading_int(std::string_view text);

// One section or key line of a settings file's content as the readers see it:
// `line` counts from 1, `name` and `value` are trimmed, the value has lost its
// quotes and is not cut. Comments, blank lines and other lines are left out.
struct IniEntry {
  enum class Kind { kSection, kKey } kind;
  int line;
  std::string name;
  std::string value;
};
std::vector<IniEntry> parse_ini_entries(std::string_view content);

// A UTF-8 byte-order mark, which the readers skip at the start of a file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Writes key=value into [section], replacing the key's line where it stands or
// adding it at the end of the section; the section is appended when missing. Every
// other line of the file is kept as it was. Returns false when the file cannot be
// written.
bool write_ini_string(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view value);

// Reads the integer at [section] key (`fallback` text when missing), writes back the
// value plus one, all under an exclusive lock on the file, and returns the value
// read. nullopt when the file cannot be opened for update.
std::optional<int> advance_ini_counter(const std::string& file, std::string_view section,
                                       std::string_view key, std::string_view fallback);

// The settings files of a long-lived process: each file is read on its first use
// and then answered from memory until refresh() finds it changed on disk (another
// inode, size or modification time; a file changed within the last seconds is read
// again on every refresh, as file times advance in coarse steps). A file that
// cannot be read is remembered as absent. The writes keep the remembered copy
// equal to what they wrote. Safe for concurrent use; not copyable.
//
// Every write (here and by the free functions) replaces the file by a whole new one
// with the same owner, group and mode, renamed over it once on disk: a full disk or
// any other failure leaves the file as it was, never emptied or cut short.
struct WriteRules;

// Why a version of a kept file is not taken: the line concerned (0: the whole file) and
// the reason, as the operator reads it.
struct IniFault {
  std::size_t line = 0;
  std::string reason;
};
using IniCheck =
    std::function<std::optional<IniFault>(const std::string& file, std::string_view text)>;
// Told of each version of a kept file that is taken.
using IniTaken = std::function<void(const std::string& file, std::string_view text)>;

struct IniSection;

// One version of a settings file as an IniFiles object read it, answering as the
// IniFiles object does; two snapshots of one version share its parse, so `same_as`
// tells whether the file changed between them. Cheap to copy.
class IniSnapshot {
 public:
  IniSnapshot() = default;
  bool readable() const { return sections_ != nullptr; }
  bool has_section(std::string_view section) const;
  std::optional<std::string> find(std::string_view section, std::string_view key,
                                  std::size_t max_length = kMaxIniValue) const;
  std::vector<std::pair<std::string, std::string>> section(std::string_view name) const;
  // The names of the sections, in file order, as written.
  std::vector<std::string> section_names() const;
  bool same_as(const IniSnapshot& other) const { return sections_ == other.sections_; }
  bool operator==(const IniSnapshot& other) const { return same_as(other); }

 private:
  friend class IniFiles;
  explicit IniSnapshot(std::shared_ptr<const std::vector<IniSection>> sections)
      : sections_(std::move(sections)) {}
  std::shared_ptr<const std::vector<IniSection>> sections_;
};

class IniFiles {
 public:
  IniFiles();
  ~IniFiles();
  IniFiles(const IniFiles&) = delete;
  IniFiles& operator=(const IniFiles&) = delete;

  // Forgets every file that changed (or appeared, or went) since it was read. Returns
  // one "Settings not reloaded: FILE:LINE: reason" line for each changed version of a
  // kept file that was passed over, once per version.
  std::vector<std::string> refresh();

  // `file` keeps its last good version: one with [section]. A changed version of it is
  // taken at refresh() only when it is good too (see keep_last_good_versions); else it
  // is passed over (and looked at again at every refresh), and the answers stay those
  // of the last good one. The writes never create such a file and leave it alone while
  // it is not good. For a long-lived process, whose settings must never fall back to
  // the defaults for a moment.
  void keep_last_good(const std::string& file, std::string_view section);

  // Every file read keeps its last good version as keep_last_good does, with any
  // section (unless keep_last_good names one). A changed version is passed over while
  // it is still being written: missing, empty, without the section, its last line
  // without a line end, changed while it was read, or rewritten in place within the
  // last second (a file replaced by rename is taken at once). `check` adds the faults
  // of the values; nullopt from it lets the version be taken. `taken` hears of every
  // version taken: the first one read and each good changed one (after `check` on it),
  // never the versions a write makes.
  void keep_last_good_versions(IniCheck check = {}, IniTaken taken = {});

  // The kept files whose latest changed version was passed over (refresh), and not yet
  // followed by a good one.
  std::vector<std::string> passed_over();

  // The file as remembered (read now when it is not).
  IniSnapshot snapshot(const std::string& file);

  // Whether the file, as remembered, has [section].
  bool has_section(const std::string& file, std::string_view section);

  // As the free functions of the same names.
  std::optional<std::string> find_value(const std::string& file, std::string_view section,
                                        std::string_view key,
                                        std::size_t max_length = kMaxIniValue);
  std::vector<std::pair<std::string, std::string>> read_section(const std::string& file,
                                                                std::string_view section);
  std::string read_string(const std::string& file, std::string_view section, std::string_view key,
                          std::string_view fallback);
  bool write_string(const std::string& file, std::string_view section, std::string_view key,
                    std::string_view value);
  std::optional<int> advance_counter(const std::string& file, std::string_view section,
                                     std::string_view key, std::string_view fallback);

  struct State;

 private:
  WriteRules write_rules(const std::string& file);

  std::unique_ptr<State> state_;
};

}  // namespace platform
