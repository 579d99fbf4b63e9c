#include "velloc/guard/upload_policy.h"

#include <algorithm>
#include <array>

#include "platform/text.h"

namespace {

constexpr std::array<std::string_view, 11> kExecutableTypes = {
    "exe", "com", "bat", "cmd", "scr", "js", "vbs", "msi", "jar", "ps1", "sh"};
constexpr std::array<std::string_view, 3> kExecutableHeads = {"MZ",
                                                              "\x7f"
                                                              "ELF",
                                                              "#!"};

// Types that a web server may run instead of serving when the upload folder is
// published, wherever they stand among a name's extensions ("a.php.pdf" too).
constexpr std::array<std::string_view, 24> kServerScriptTypes = {
    "php",  "php2", "php3", "php4", "php5",  "php6",  "php7",     "php8",
    "phps", "phpt", "pht",  "phtm", "phtml", "phar",  "pl",       "py",
    "cgi",  "asp",  "aspx", "jsp",  "jspx",  "shtml", "htaccess", "sh"};

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

bool looks_executable(std::string_view extension, std::string_view first_bytes) {
  if (std::find(kExecutableTypes.begin(), kExecutableTypes.end(), extension) !=
      kExecutableTypes.end())
    return true;
  return std::any_of(kExecutableHeads.begin(), kExecutableHeads.end(),
                     [&](std::string_view head) { return first_bytes.starts_with(head); });
}

template <typename List>
bool contains(const List& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// True when some extension of `name` (every "."-separated piece after the first,
// blanks around it ignored, any case) is a server-side script type that the
// site did not list among its allowed types.
bool names_server_script(std::string_view name, const std::vector<std::string>& allowed) {
  for (std::size_t dot = name.find('.'); dot != std::string_view::npos;) {
    std::size_t next = name.find('.', dot + 1);
    std::string piece = lower(platform::trim(name.substr(dot + 1, next - dot - 1), " "));
    if (contains(kServerScriptTypes, piece) && !contains(allowed, piece)) return true;
    dot = next;
  }
  return false;
}

// A decimal count with an optional K or M suffix; false when `text` is not one.
bool parse_size(std::string_view text, std::uint64_t& value) {
  text = platform::trim(text);
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  std::uint64_t number = 0;
  std::size_t at = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (number > (UINT64_MAX - 9) / 10) return false;
    number = number * 10 + static_cast<std::uint64_t>(text[at] - '0');
  }
  std::string_view unit = platform::trim(text.substr(at));
  std::uint64_t scale = 1;
  if (unit == "K" || unit == "k")
    scale = 1024;
  else if (unit == "M" || unit == "m")
    scale = 1024 * 1024;
  else if (!unit.empty())
    return false;
  if (number > UINT64_MAX / scale) return false;
  value = number * scale;
  return true;
}

}  // namespace

std::string file_extension(std::string_view name) {
  std::size_t end = name.find_last_not_of(". ");
  if (end == std::string_view::npos) return {};
  name = name.substr(0, end + 1);
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : lower(name.substr(dot + 1));
}

UploadVerdict judge_upload(const UploadLimits& limits, std::size_t position,
                           std::string_view shown_name, std::uint64_t size,
                           std::string_view first_bytes) {
  if (position > limits.max_uploads) return UploadVerdict::kTooMany;
  if (size > limits.max_size) return UploadVerdict::kTooLarge;
  std::string extension = file_extension(shown_name);
  const std::vector<std::string>& allowed = limits.allowed_types;
  if (!allowed.empty() && !contains(allowed, extension)) return UploadVerdict::kTypeNotAllowed;
  if (allowed.empty() && looks_executable(extension, first_bytes))
    return UploadVerdict::kExecutable;
  return names_server_script(shown_name, allowed) ? UploadVerdict::kServerScript
                                                  : UploadVerdict::kAccepted;
}

const char* verdict_reason(UploadVerdict verdict) {
  switch (verdict) {
    case UploadVerdict::kAccepted:
      return "accepted";
    case UploadVerdict::kTooMany:
      return "too many files";
    case UploadVerdict::kTooLarge:
      return "too large";
    case UploadVerdict::kTypeNotAllowed:
      return "type not allowed";
    case UploadVerdict::kExecutable:
      return "looks like a program";
    case UploadVerdict::kServerScript:
      return "server-side script name";
  }
  return "refused";
}

UploadLimits parse_upload_limits(std::string_view max_size, std::string_view max_uploads,
                                 std::string_view types) {
  UploadLimits limits;
  std::uint64_t value = 0;
  if (parse_size(max_size, value)) limits.max_size = value;
  if (parse_size(max_uploads, value)) limits.max_uploads = static_cast<std::size_t>(value);
  for (const std::string& type : platform::split_at(types, ", \t")) {
    std::string_view bare = platform::trim(type, ".");
    if (!bare.empty()) limits.allowed_types.push_back(lower(bare));
  }
  return limits;
}
