// Reads and writes sectioned key=value settings files ("[Section]" lines and
// "key=value" lines). Section and key names match without regard to case; values
// are trimmed and lose one pair of matching enclosing quotes; a key that is present
// with an empty value gives the empty text, only a missing key or file gives the
// default. Only the first occurrence of a section counts, and within it the first
// occurrence of a key. Readers accept "\n" and "\r\n" line ends. Files are read
// whole per call, or once per process after remember_ini_files; paths are composed
// texts mapped by native_path.
#pragma once

#include <cstddef>
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

// For a process that lives for one short task: from now on each file is read on its
// first use and then answered from memory (a file that cannot be read stays absent).
// The writes below keep the remembered copy equal to what they wrote. False forgets
// every file and reads per call again.
void remember_ini_files(bool remember = true);

// The keys of [section] in file order with their values as find_ini_value gives
// them; a key that occurs twice is listed once, as find_ini_value sees it. Empty
// when the file or the section is missing.
std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section);

// The keys of [section] in file order, each with the value find_ini_value gives
// (for a key written twice, that one entry); empty when the file or the section
// is missing.
std::vector<std::pair<std::string, std::string>> read_ini_section(const std::string& file,
                                                                  std::string_view section);

// find_ini_value, or `fallback` when the key is missing.
std::string read_ini_string(const std::string& file, std::string_view section, std::string_view key,
                            std::string_view fallback);

// Decimal conversion as atoi does it: leading white space, an optional sign, digits
// up to the first non-digit; no digits give 0.
int parse_leading_int(std::string_view text);

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

}  // namespace platform
