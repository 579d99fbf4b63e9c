// The blocked words of BlockedWords: a list of words and phrases, one a line, any
// of which makes a submission spam. Matching is case-blind (every character
// folded by Unicode's full case folding, "STRASSE" matching "straße") and on
// word boundaries: a phrase matches a run of whole words of the text, whatever
// blanks or punctuation stand between them. Text is read as UTF-8; a byte that
// is not part of a character separates words. Pure; the step lives in
// content_rules.h.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class BlockedWords {
 public:
  // From the file's text: one entry a line; blank lines, lines starting with "#"
  // and lines of more than 32 words are none.
  static BlockedWords parse(std::string_view list);

  bool empty() const { return by_first_word_.empty(); }
  // The first entry found in `text`, as the list wrote it; empty when none.
  std::string find_in(std::string_view text) const;

 private:
  struct Entry {
    std::vector<std::u32string> words;  // folded; at least one
    std::string written;
  };
  // Entries by their first word, so that each word of a text is looked up once.
  std::unordered_map<std::u32string, std::vector<Entry>> by_first_word_;
};

// The words of `text`, case-folded: maximal runs of letters and digits.
std::vector<std::u32string> folded_words(std::string_view text);
