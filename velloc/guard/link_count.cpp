#include "velloc/guard/link_count.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_at(std::string_view text, std::size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (lower(text[at + i]) != word[i]) return false;
  return true;
}

bool is_word_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || u >= 0x80;
}

bool starts_web_address(std::string_view text, std::size_t at) {
  return starts_with_at(text, at, "http://") || starts_with_at(text, at, "https://") ||
         starts_with_at(text, at, "www.");
}

// "www." counts where a word starts, but not as the host of "http://www.".
bool is_www_link(std::string_view text, std::size_t at) {
  if (!starts_with_at(text, at, "www.")) return false;
  if (at == 0) return true;
  char before = text[at - 1];
  return !is_word_char(before) && before != '/' && before != '.';
}

// "[url=" and "href=" name a link; one whose value is a web address is counted
// by that address instead.
bool is_markup_link(std::string_view text, std::size_t at) {
  for (std::string_view marker : {std::string_view("[url="), std::string_view("href=")}) {
    if (!starts_with_at(text, at, marker)) continue;
    std::size_t value = at + marker.size();
    while (value < text.size() && (text[value] == '"' || text[value] == '\'' || text[value] == ' '))
      ++value;
    return !starts_web_address(text, value);
  }
  return false;
}

}  // namespace

std::size_t count_links(std::string_view text) {
  std::size_t links = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (starts_with_at(text, at, "http://") || starts_with_at(text, at, "https://") ||
        is_www_link(text, at) || is_markup_link(text, at))
      ++links;
  }
  return links;
}
