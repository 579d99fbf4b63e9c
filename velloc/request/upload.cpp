#include "velloc/request/upload.h"

#include <cstdio>
#include <utility>

#include "platform/path_map.h"

namespace {

constexpr std::size_t kMaxShownName = 200;
constexpr std::string_view kDroppedCharacters = "\"'`/\\:;*?<>|";

bool is_dropped(unsigned char c) {
  return c < 0x20 || c == 0x7f ||
         kDroppedCharacters.find(static_cast<char>(c)) != std::string_view::npos;
}

// Cuts `name` to `limit` bytes without splitting a UTF-8 sequence.
void cut_to(std::string& name, std::size_t limit) {
  if (name.size() <= limit) return;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  name.resize(end);
}

}  // namespace

int TempFileSet::descriptor_of(std::string_view path) const {
  for (const platform::TempFile& file : files_)
    if (file.path() == path) return file.fd();
  return -1;
}

std::string upload_shown_name(std::string_view sent_name) {
  std::size_t separator = sent_name.find_last_of("/\\");
  if (separator != std::string_view::npos) sent_name.remove_prefix(separator + 1);
  std::string name;
  for (char c : sent_name)
    if (!is_dropped(static_cast<unsigned char>(c))) name.push_back(c);
  std::size_t start = name.find_first_not_of(". ");
  name.erase(0, start == std::string::npos ? name.size() : start);
  cut_to(name, kMaxShownName);
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
  return name.empty() ? "upload" : name;
}
