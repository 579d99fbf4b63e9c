#include "velloc/guard/blocked_words.h"

#include <utf8proc.h>

#include "platform/text.h"

namespace {

constexpr char32_t kNotACharacter = 0xFFFFFFFF;
// A longer entry is no phrase anyone blocks; skipping it keeps matching linear.
constexpr std::size_t kMaxPhraseWords = 32;

// The character at `*at`, advancing past it; kNotACharacter (one byte consumed)
// for a byte that does not start a well-formed, shortest-form UTF-8 sequence.
char32_t next_character(std::string_view text, std::size_t* at) {
  unsigned char lead = static_cast<unsigned char>(text[(*at)++]);
  if (lead < 0x80) return lead;
  int length = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
  if (lead >= 0xF5 || length == 0 || text.size() - *at < static_cast<std::size_t>(length))
    return kNotACharacter;
  char32_t c = lead & (0x3F >> length);
  for (int i = 0; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[*at + i]);
    if ((next & 0xC0) != 0x80) return kNotACharacter;
    c = (c << 6) | (next & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kNotACharacter;
  *at += length;
  return c;
}

// Appends the full Unicode case folding of `c` (utf8proc's, one character to as
// many as three: "ß" to "ss"), except that the capital I with a dot folds to
// "i" as in Turkish, not to "i" and a combining dot, so that it still matches
// the word written with "i".
void append_folded(char32_t c, std::u32string& word) {
  constexpr char32_t kCapitalIWithDot = 0x130;
  if (c < 0x80) {
    word.push_back(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
    return;
  }
  if (c == kCapitalIWithDot) {
    word.push_back('i');
    return;
  }
  utf8proc_int32_t folded[4];
  utf8proc_ssize_t count = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), folded, 4,
                                                   UTF8PROC_CASEFOLD, nullptr);
  if (count < 1 || count > 4) {
    word.push_back(c);
    return;
  }
  for (utf8proc_ssize_t i = 0; i < count; ++i) word.push_back(static_cast<char32_t>(folded[i]));
}

// Letters and digits of any script join words; ASCII and Latin-1 punctuation,
// blanks and signs do not.
bool is_word_character(char32_t c) {
  if (c == kNotACharacter) return false;
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;
  if (c == 0xD7 || c == 0xF7) return false;
  return !(c >= 0x2000 && c <= 0x206F) && !(c >= 0x3000 && c <= 0x303F);
}

bool starts_at(const std::vector<std::u32string>& words, std::size_t at,
               const std::vector<std::u32string>& phrase) {
  if (words.size() - at < phrase.size()) return false;
  for (std::size_t i = 1; i < phrase.size(); ++i)
    if (words[at + i] != phrase[i]) return false;
  return true;
}

}  // namespace

std::vector<std::u32string> folded_words(std::string_view text) {
  std::vector<std::u32string> words;
  std::u32string word;
  for (std::size_t at = 0; at < text.size();) {
    char32_t c = next_character(text, &at);
    if (is_word_character(c)) {
      append_folded(c, word);
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

BlockedWords BlockedWords::parse(std::string_view list) {
  BlockedWords blocked;
  while (!list.empty()) {
    std::size_t end = list.find('\n');
    std::string_view line = platform::trim(list.substr(0, end));
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    std::vector<std::u32string> words = folded_words(line);
    if (words.empty() || words.size() > kMaxPhraseWords) continue;
    std::u32string first = words.front();
    blocked.by_first_word_[first].push_back({std::move(words), std::string(line)});
  }
  return blocked;
}

std::string BlockedWords::find_in(std::string_view text) const {
  if (empty()) return "";
  std::vector<std::u32string> words = folded_words(text);
  for (std::size_t at = 0; at < words.size(); ++at) {
    auto entries = by_first_word_.find(words[at]);
    if (entries == by_first_word_.end()) continue;
    for (const Entry& entry : entries->second)
      if (starts_at(words, at, entry.words)) return entry.written;
  }
  return "";
}
