#include "velloc/language/message_catalogue.h"

#include <optional>

namespace {

// One entry as read: its keywords' strings and where it began.
struct PoEntry {
  int line = 0;
  bool fuzzy = false;
  bool plural = false;
  std::optional<std::string> context, id, text;
};

std::string_view trimmed(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
    line.remove_suffix(1);
  return line;
}

// A C-style quoted string of gettext ("...", with \n \t \" \\ and the rest); nullopt
// when it is not one whole quoted string.
std::optional<std::string> unquote(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  std::string text;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    char c = quoted[i];
    if (c == '"') return std::nullopt;
    if (c != '\\') {
      text += c;
      continue;
    }
    if (++i + 1 >= quoted.size()) return std::nullopt;
    switch (quoted[i]) {
      case 'n':
        text += '\n';
        break;
      case 't':
        text += '\t';
        break;
      case 'r':
        text += '\r';
        break;
      case '"':
        text += '"';
        break;
      case '\\':
        text += '\\';
        break;
      default:
        return std::nullopt;
    }
  }
  return text;
}

// Tags, escapes and line ends a translation must keep, in order, so that a page stays
// the page it was: "<P>", "<BR>" and the like, and every newline.
std::string markup_of(std::string_view text) {
  std::string markup;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') markup += '\n';
    if (text[i] != '<') continue;
    std::size_t end = text.find('>', i);
    if (end == std::string_view::npos) break;
    markup.append(text.substr(i, end - i + 1));
    i = end;
  }
  return markup;
}

class PoReader {
 public:
  explicit PoReader(MessageCatalogue::Entries& entries, std::vector<CatalogueProblem>& problems)
      : entries_(entries), problems_(problems) {}

  void read(std::string_view text);

 private:
  void read_line(int number, std::string_view line);
  void keyword(int number, std::string_view word, std::string_view rest);
  void finish();
  void problem(int line, std::string message) {
    problems_.push_back({line, entry_.id.value_or(""), std::move(message)});
  }

  MessageCatalogue::Entries& entries_;
  std::vector<CatalogueProblem>& problems_;
  PoEntry entry_;
  std::optional<std::string>* last_ = nullptr;  // the string a "..." line continues
  bool broken_ = false;
  bool next_fuzzy_ = false;
  int next_line_ = 0;
};

void PoReader::read(std::string_view text) {
  int number = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    read_line(++number, trimmed(line));
  }
  finish();
}

void PoReader::read_line(int number, std::string_view line) {
  if (line.empty()) return;
  if (line.front() == '#') {
    if (entry_.id || entry_.context) finish();
    if (line.starts_with("#,") && line.find("fuzzy") != std::string_view::npos) next_fuzzy_ = true;
    if (next_line_ == 0) next_line_ = number;
    return;
  }
  if (line.front() == '"') {
    std::optional<std::string> more = unquote(line);
    if (!last_ || !more) {
      broken_ = true;
      return problem(number, more ? "a string outside any keyword" : "a malformed string");
    }
    **last_ += *more;
    return;
  }
  std::size_t space = line.find_first_of(" \t");
  std::string_view word = line.substr(0, space);
  keyword(number, word, space == std::string_view::npos ? "" : trimmed(line.substr(space)));
}

void PoReader::keyword(int number, std::string_view word, std::string_view rest) {
  // A msgid after a msgctxt belongs to its entry; any other msgid starts one.
  bool starts_entry = word == "msgctxt" || (word == "msgid" && (!entry_.context || entry_.id));
  if (starts_entry && (entry_.id || entry_.context)) finish();
  if (starts_entry) {
    entry_.line = next_line_ ? next_line_ : number;
    entry_.fuzzy = next_fuzzy_;
  }
  std::optional<std::string>* target = nullptr;
  if (word == "msgctxt") target = &entry_.context;
  if (word == "msgid") target = &entry_.id;
  if (word == "msgstr" || word == "msgstr[0]") target = &entry_.text;
  if (word == "msgid_plural" || word.starts_with("msgstr[")) {
    entry_.plural = true;
    last_ = nullptr;
    return;
  }
  std::optional<std::string> value = unquote(rest);
  if (!target || !value || target->has_value()) {
    broken_ = true;
    last_ = nullptr;
    return problem(number, !target  ? "unknown keyword " + std::string(word)
                           : !value ? "a malformed string after " + std::string(word)
                                    : std::string(word) + " twice in one entry");
  }
  *target = std::move(value);
  last_ = target;
}

void PoReader::finish() {
  PoEntry entry = std::move(entry_);
  bool broken = broken_;
  entry_ = PoEntry();
  last_ = nullptr;
  broken_ = next_fuzzy_ = false;
  next_line_ = 0;
  if (!entry.id && !entry.context) return;
  if (broken) return;  // named where it broke
  if (!entry.id || !entry.text) {
    problems_.push_back({entry.line, entry.id.value_or(""), "an entry without msgid or msgstr"});
    return;
  }
  // The header, contexts, plurals, fuzzy and untranslated entries are not texts of ours.
  if (entry.id->empty() || entry.context || entry.plural || entry.fuzzy || entry.text->empty())
    return;
  if (markup_of(*entry.id) != markup_of(*entry.text)) {
    problems_.push_back(
        {entry.line, *entry.id, "the translation does not keep the text's tags and line ends"});
    return;
  }
  if (!entries_.emplace(*entry.id, *entry.text).second)
    problems_.push_back({entry.line, *entry.id, "a second entry for this text; the first counts"});
}

}  // namespace

MessageCatalogue MessageCatalogue::parse(std::string_view text) {
  MessageCatalogue catalogue;
  PoReader(catalogue.entries_, catalogue.problems_).read(text);
  return catalogue;
}

const std::string* MessageCatalogue::find(std::string_view english) const {
  auto found = entries_.find(english);
  return found == entries_.end() ? nullptr : &found->second;
}

std::string_view translate(const MessageCatalogue* catalogue, std::string_view english) {
  const std::string* text = catalogue ? catalogue->find(english) : nullptr;
  return text ? std::string_view(*text) : english;
}

std::vector<std::string> missing_entries(const MessageCatalogue& catalogue,
                                         const std::vector<std::string_view>& texts) {
  std::vector<std::string> missing;
  for (std::string_view text : texts)
    if (!catalogue.find(text)) missing.emplace_back(text);
  return missing;
}
