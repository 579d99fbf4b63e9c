#include "velloc/templates/template_engine.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>

#include "velloc/templates/template_arithmetic.h"
#include "velloc/templates/text_files.h"

namespace {

constexpr int kIncludeLimit = 10;
constexpr std::string_view kIncludeFailed = "\nCould not include template.\n";
constexpr std::string_view kIncludeLimitExceeded = "\nInclude Nesting Limit Exceeded.\n";

// The open blocks of one expansion. A condition decides whether the next block
// opened at its depth is written; a block opened without one takes the state of
// the text around it, and everything inside a block that is not written stays
// unwritten however deep it goes. Three numbers hold all of it, so nesting has
// no limit and costs no memory.
class BlockState {
 public:
  bool active() const { return depth_ < first_inactive_; }
  void set_condition(bool holds) { next_block_active_ = holds; }
  void open();
  void close();

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t depth_ = 0;
  std::size_t first_inactive_ = kNone;  // depth of the outermost unwritten block
  bool next_block_active_ = true;
};

void BlockState::open() {
  bool opened_active = active() && next_block_active_;
  ++depth_;
  if (!opened_active && first_inactive_ == kNone) first_inactive_ = depth_;
  next_block_active_ = opened_active;
}

void BlockState::close() {
  if (depth_ == 0) return;
  next_block_active_ = active();
  if (first_inactive_ == depth_) first_inactive_ = kNone;
  --depth_;
}

// Characters that need a look in written text: the escape, braces, the comment
// and the six directive characters.
constexpr std::array<bool, 256> make_special_table() {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view("\\{};^%*[#+")) table[c] = true;
  return table;
}
constexpr std::array<bool, 256> kSpecial = make_special_table();

std::size_t find_special(std::string_view line, std::size_t pos) {
  while (pos < line.size() && !kSpecial[static_cast<unsigned char>(line[pos])]) ++pos;
  return pos;
}

// One expansion: the block state of its template and where it writes.
class Expansion {
 public:
  Expansion(std::ostream& output, CgiRequest& request, TemplateState& state, ValueEscape escape)
      : output_(output), request_(request), state_(state), escape_(escape) {}
  void process_line(std::string_view line);

 private:
  std::size_t process_active(std::string_view line, std::size_t pos);
  std::size_t process_directive(std::string_view line, std::size_t pos);
  void run_directive(char opener, std::string_view argument);
  void run_unterminated(char opener, std::string_view argument);
  void include(std::string_view file_name);
  void write(std::string_view text) {
    output_.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  void write_value(const std::string* value);

  std::ostream& output_;
  CgiRequest& request_;
  TemplateState& state_;
  ValueEscape escape_;
  BlockState blocks_;
};

void Expansion::process_line(std::string_view line) {
  if (line.empty()) {
    output_.put('\n');
    return;
  }
  std::size_t pos = 0;
  while (pos < line.size()) {
    if (blocks_.active()) {
      pos = process_active(line, pos);
      continue;
    }
    pos = line.find_first_of("{}", pos);
    if (pos == std::string_view::npos) break;
    if (line[pos] == '{')
      blocks_.open();
    else
      blocks_.close();
    ++pos;
  }
  if (blocks_.active()) output_.put('\n');
}

// Writes the plain text from `pos` and handles the special character after it;
// returns where processing goes on (the line's size ends the line).
std::size_t Expansion::process_active(std::string_view line, std::size_t pos) {
  std::size_t special = find_special(line, pos);
  write(line.substr(pos, special - pos));
  if (special == line.size()) return special;
  switch (line[special]) {
    case '\\':
      if (special + 1 < line.size()) output_.put(line[special + 1]);
      return std::min(special + 2, line.size());
    case '{':
      blocks_.open();
      return special + 1;
    case '}':
      blocks_.close();
      return special + 1;
    case ';':
      return line.size();
    default:
      return process_directive(line, special);
  }
}

std::size_t Expansion::process_directive(std::string_view line, std::size_t pos) {
  char opener = line[pos];
  char closer = opener == '[' ? ']' : opener;
  std::size_t end = line.find(closer, pos + 1);
  if (end == std::string_view::npos) {
    run_unterminated(opener, line.substr(pos + 1));
    return line.size();
  }
  run_directive(opener, line.substr(pos + 1, end - pos - 1));
  return end + 1;
}

void Expansion::run_directive(char opener, std::string_view argument) {
  if (argument.empty() && (opener == '%' || opener == '^')) return;
  switch (opener) {
    case '%':
      write_value(request_.fields.find(argument));
      break;
    case '^':
      write_value(request_.environment.find(argument));
      break;
    case '*':
      state_.pending_attachment = argument;
      break;
    case '[':
      blocks_.set_condition(evaluate_condition(argument, request_));
      break;
    case '#':
      apply_arithmetic(argument, request_);
      break;
    case '+':
      include(argument);
      break;
  }
}

// An absent value writes nothing, unless the escape gives even the empty text a
// form of its own (the quotes of a CSV value).
void Expansion::write_value(const std::string* value) {
  if (escape_ == ValueEscape::kNone) {
    if (value != nullptr) write(*value);
    return;
  }
  write(escape_value(value != nullptr ? std::string_view(*value) : std::string_view(), escape_));
}

void Expansion::run_unterminated(char opener, std::string_view argument) {
  if (opener == '%') {
    run_directive(opener, argument);
    return;
  }
  if (opener == '*') state_.pending_attachment = argument;
  write(argument);
}

void Expansion::include(std::string_view file_name) {
  if (file_name.empty()) return;
  std::ifstream file;
  if (!open_text_for_reading(file_name, file)) {
    write(kIncludeFailed);
    return;
  }
  expand_template(file, output_, request_, state_, escape_);
}

// Keeps include_depth counting this expansion for as long as it runs.
class IncludeLevel {
 public:
  explicit IncludeLevel(TemplateState& state) : state_(state) { ++state_.include_depth; }
  ~IncludeLevel() { --state_.include_depth; }
  IncludeLevel(const IncludeLevel&) = delete;
  IncludeLevel& operator=(const IncludeLevel&) = delete;
  bool within_limit() const { return state_.include_depth <= kIncludeLimit; }

 private:
  TemplateState& state_;
};

}  // namespace

bool expand_template(std::istream& input, std::ostream& output, CgiRequest& request,
                     TemplateState& state, ValueEscape escape) {
  state.pending_attachment.clear();
  IncludeLevel level(state);
  if (!level.within_limit()) {
    output.write(kIncludeLimitExceeded.data(), kIncludeLimitExceeded.size());
    return true;
  }
  Expansion expansion(output, request, state, escape);
  std::string line;
  line.reserve(kMaxTemplateLine);
  while (read_template_line(input, line)) expansion.process_line(line);
  return true;
}

bool read_template_line(std::istream& input, std::string& line) {
  using Traits = std::char_traits<char>;
  line.clear();
  std::streambuf* buffer = input.rdbuf();
  if (buffer == nullptr) return false;
  for (;;) {
    Traits::int_type c = buffer->sgetc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      input.setstate(std::ios::eofbit);
      return !line.empty();
    }
    if (c == '\n' || c == '\r') {
      buffer->sbumpc();
      if (c == '\r' && buffer->sgetc() == '\n') buffer->sbumpc();
      return true;
    }
    if (line.size() == kMaxTemplateLine) return true;
    line.push_back(Traits::to_char_type(c));
    buffer->sbumpc();
  }
}
