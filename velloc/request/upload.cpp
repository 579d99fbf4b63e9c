#include "velloc/request/upload.h"

#include <cstdio>
#include <utility>

#include "platform/path_map.h"
#include "platform/unicode_controls.h"

namespace {

constexpr std::size_t kMaxShownName = 200;
constexpr std::string_view kDroppedCharacters = "\"'`/\\:;*?<>|";

bool is_dropped(unsigned char c) {
  return c < 0x20 || c == 0x7f ||
         kDroppedCharacters.find(static_cast<char>(c)) != std::string_view::npos;
}

// A UTF-8 control character (C1, line and paragraph separators, the bidirectional
// controls that make "invoice\u202Efdp.exe" show as "invoiceexe.pdf") at the start
// of `text`: its length, 0 when there is none.
std::size_t unicode_control_length(std::string_view text) {
  platform::Utf8Character character = platform::first_utf8_character(text);
  return character.length > 1 && platform::is_control_character(character.code_point)
             ? character.length
             : 0;
}

// Cuts `name` to `limit` bytes without splitting a UTF-8 sequence.
void cut_to(std::string& name, std::size_t limit) {
  if (name.size() <= limit) return;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  name.resize(end);
}

}  // namespace

TempFileSet::TempFileSet(TempFileSet&& other) noexcept : paths_(std::move(other.paths_)) {
  other.paths_.clear();
}

TempFileSet& TempFileSet::operator=(TempFileSet&& other) noexcept {
  if (this != &other) {
    delete_all();
    paths_ = std::move(other.paths_);
    other.paths_.clear();
  }
  return *this;
}

TempFileSet::~TempFileSet() { delete_all(); }

void TempFileSet::add(std::string path) { paths_.push_back(std::move(path)); }

void TempFileSet::delete_all() {
  for (const std::string& path : paths_) std::remove(platform::native_path(path).c_str());
  paths_.clear();
}

std::string upload_shown_name(std::string_view sent_name) {
  std::size_t separator = sent_name.find_last_of("/\\");
  if (separator != std::string_view::npos) sent_name.remove_prefix(separator + 1);
  std::string name;
  for (std::size_t at = 0; at < sent_name.size();) {
    std::size_t control = unicode_control_length(sent_name.substr(at));
    if (control > 0) {
      at += control;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(sent_name[at++]);
    if (!is_dropped(c)) name.push_back(static_cast<char>(c));
  }
  std::size_t start = name.find_first_not_of(". ");
  name.erase(0, start == std::string::npos ? name.size() : start);
  cut_to(name, kMaxShownName);
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
  return name.empty() ? "upload" : name;
}
