#include "velloc/language/language_choice.h"

#include <algorithm>

namespace {

constexpr int kNoMatch = -1;

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A quality value in thousandths ("0.8" is 800); 1000 when absent, -1 when malformed.
int quality_of(std::string_view parameters) {
  std::size_t q = parameters.find("q=");
  if (q == std::string_view::npos) q = parameters.find("Q=");
  if (q == std::string_view::npos) return 1000;
  std::string_view value = trimmed(parameters.substr(q + 2));
  if (value.empty() || (value[0] != '0' && value[0] != '1')) return -1;
  int thousandths = (value[0] - '0') * 1000;
  if (value.size() > 1 && value[1] == '.') {
    int scale = 100;
    for (std::size_t i = 2; i < value.size() && i < 5 && scale > 0; ++i, scale /= 10) {
      if (value[i] < '0' || value[i] > '9') return -1;
      thousandths += (value[i] - '0') * scale;
    }
  }
  return std::min(thousandths, 1000);
}

// How specifically `range` matches `tag`: 3 the same, 2 a subtag of it either way,
// 1 "*", kNoMatch not at all.
int match_of(std::string_view range, std::string_view tag) {
  if (range == tag) return 3;
  if (range == "*") return 1;
  auto extends = [](std::string_view longer, std::string_view shorter) {
    return longer.size() > shorter.size() && longer.starts_with(shorter) &&
           longer[shorter.size()] == '-';
  };
  return extends(range, tag) || extends(tag, range) ? 2 : kNoMatch;
}

// The quality `accept_language` gives `tag`; kNoMatch when no range names it.
int quality_for(std::string_view accept_language, std::string_view tag) {
  int best_match = kNoMatch, quality = kNoMatch;
  while (!accept_language.empty()) {
    std::size_t comma = accept_language.find(',');
    std::string_view item = accept_language.substr(0, comma);
    accept_language.remove_prefix(comma == std::string_view::npos ? accept_language.size()
                                                                  : comma + 1);
    std::size_t semicolon = item.find(';');
    std::string range = lower(trimmed(item.substr(0, semicolon)));
    int q = semicolon == std::string_view::npos ? 1000 : quality_of(item.substr(semicolon + 1));
    int match = match_of(range, tag);
    if (range.empty() || q < 0 || match <= best_match) continue;
    best_match = match;
    quality = q;
  }
  return quality;
}

}  // namespace

std::string choose_language(std::string_view fixed, const std::vector<std::string>& offered,
                            std::string_view accept_language) {
  int best = 0;
  const std::string* chosen = nullptr;
  for (const std::string& tag : offered) {
    int quality = quality_for(accept_language, tag);
    if (quality > best) {
      best = quality;
      chosen = &tag;
    }
  }
  if (chosen) return *chosen;
  if (!fixed.empty() || offered.empty()) return lower(trimmed(fixed));
  return offered.front();
}

std::vector<std::string> parse_language_list(std::string_view list) {
  std::vector<std::string> tags;
  while (!list.empty()) {
    std::size_t end = list.find_first_of(", \t");
    std::string tag = lower(list.substr(0, end));
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (!tag.empty() && std::find(tags.begin(), tags.end(), tag) == tags.end())
      tags.push_back(std::move(tag));
  }
  return tags;
}
