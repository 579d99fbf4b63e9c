// A message catalogue: the translations of the fixed texts velloc shows a visitor,
// read from one gettext .po file. The msgid of an entry is the English text itself,
// so English needs no catalogue, and any text without a good entry stays English.
// The reader is strict: an entry it cannot read whole is left out and named among
// the problems (with its line), never half taken; fuzzy entries are left out too.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct CatalogueProblem {
  int line;             // from 1; 0 for the file as a whole
  std::string entry;    // the msgid it concerns; empty when none could be read
  std::string message;  // what is wrong
};

class MessageCatalogue {
 public:
  using Entries = std::map<std::string, std::string, std::less<>>;

  // Reads `text`, the content of a .po file (UTF-8).
  static MessageCatalogue parse(std::string_view text);

  // The translation of `english`; nullptr when the catalogue has no good entry.
  const std::string* find(std::string_view english) const;
  // Entries that were left out or that break the text they translate.
  const std::vector<CatalogueProblem>& problems() const { return problems_; }
  std::size_t size() const { return entries_.size(); }

 private:
  Entries entries_;
  std::vector<CatalogueProblem> problems_;
};

// The text a visitor reads for `english`: its translation in `catalogue` (null: English).
std::string_view translate(const MessageCatalogue* catalogue, std::string_view english);

// The entries of `catalogue` that `texts` (every English text velloc shows) lack.
std::vector<std::string> missing_entries(const MessageCatalogue& catalogue,
                                         const std::vector<std::string_view>& texts);
