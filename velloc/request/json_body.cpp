#include "velloc/request/json_body.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <string>

namespace {

// Strict RFC 8259 (no comments, no trailing commas, nothing after the object),
// strings checked to be UTF-8, numbers handed over as their text, and a parser
// whose call depth does not grow with the nesting of the body.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseIterativeFlag;
constexpr std::size_t kMaxShownName = 64;

// A field name fit for a one-line message: at most kMaxShownName bytes (cut
// before a UTF-8 sequence), control characters shown as "?".
std::string shown_name(std::string_view name) {
  if (name.size() > kMaxShownName) {
    std::size_t cut = kMaxShownName;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  std::string shown(name);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return "\"" + shown + "\"";
}

// The body as the parser reads it, with each number shown as "0" and blanks to
// its length. The parser reads numbers as text but still refuses one beyond the
// range of a double (1e309, 400 digits) although nothing here computes with
// them, so it is never shown one. A number is found here where the parser may
// start a value (outside strings, at the start or after a blank, ":", "," or
// "["), and only when all that JSON's grammar reads there makes one: a run that
// is no number ("-", "1.", "1e") is shown as it is, so the parser refuses it at
// the same byte as before; every byte, masked or not, keeps its offset. The
// handler takes each number's own text from number().
class NumberMaskingStream {
 public:
  using Ch = char;

  explicit NumberMaskingStream(std::string_view text) : text_(text) { look_at_next(); }

  Ch Peek() const {
    if (at_ == text_.size()) return '\0';
    if (at_ < number_end_) return at_ == number_start_ ? '0' : ' ';
    return text_[at_];
  }
  Ch Take() {
    Ch shown = Peek();
    if (at_ == text_.size()) return shown;
    char c = text_[at_++];
    last_ = c;
    if (in_string_) {
      if (escaped_)
        escaped_ = false;
      else if (c == '\\')
        escaped_ = true;
      else if (c == '"')
        in_string_ = false;
    } else if (c == '"') {
      in_string_ = true;
    }
    look_at_next();
    return shown;
  }
  std::size_t Tell() const { return at_; }
  // The text of the number last shown.
  std::string_view number() const {
    return text_.substr(number_start_, number_end_ - number_start_);
  }

  // Never written to.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  void look_at_next() {
    if (in_string_ || at_ < number_end_ || at_ == text_.size()) return;
    if (at_ > 0 && std::string_view(" \t\n\r:,[").find(last_) == std::string_view::npos) return;
    char c = text_[at_];
    if (c != '-' && (c < '0' || c > '9')) return;
    std::size_t end = number_length(text_.substr(at_));
    if (end == 0) return;
    number_start_ = at_;
    number_end_ = at_ + end;
  }

  // The length of the number `text` starts with: -? (0 | [1-9][0-9]*) (. [0-9]+)?
  // ([eE] [+-]? [0-9]+)?; 0 when it starts with none, or with a "." or an "e"
  // that no digits follow.
  static std::size_t number_length(std::string_view text) {
    auto digits_at = [&](std::size_t at) {
      std::size_t end = at;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
      return end - at;
    };
    std::size_t at = text.front() == '-' ? 1 : 0;
    std::size_t whole = digits_at(at);
    if (whole == 0) return 0;
    at += text[at] == '0' ? 1 : whole;
    if (at < text.size() && text[at] == '.') {
      std::size_t fraction = digits_at(at + 1);
      if (fraction == 0) return 0;
      at += 1 + fraction;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      std::size_t sign = at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-');
      std::size_t exponent = digits_at(at + 1 + sign);
      if (exponent == 0) return 0;
      at += 1 + sign + exponent;
    }
    return at;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
  char last_ = 0;  // the byte taken last
  std::size_t number_start_ = 0;
  std::size_t number_end_ = 0;
};

// The parser checks the bytes of a string, not what its \u escapes make: a lone
// \uDC00-\uDFFF (an unpaired high half is refused by the parser) comes out as
// the three bytes ED A0-BF xx, which are not UTF-8.
bool has_encoded_surrogate(std::string_view text) {
  for (std::size_t at = text.find('\xED'); at != std::string_view::npos;
       at = text.find('\xED', at + 1))
    if (at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0xA0) return true;
  return false;
}

// Receives the parser's events and turns the members of the one top-level object
// into fields. Returns false (which stops the parser at once) on the first event
// that is not allowed where it occurs, keeping why in refusal().
class FieldEvents : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FieldEvents> {
 public:
  FieldEvents(FieldAdder& adder, const NumberMaskingStream& stream)
      : adder_(adder), stream_(stream) {}

  bool Null() { return value(std::string()); }
  bool Bool(bool b) { return value(b ? "true" : "false"); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) {
    return value(std::string(stream_.number()));
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    return value(std::string(text, length));
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    name_.assign(text, length);
    return valid_text(name_);
  }
  bool StartObject();
  bool EndObject(rapidjson::SizeType) {
    place_ = Place::kAfter;
    return true;
  }
  bool StartArray();
  bool EndArray(rapidjson::SizeType count);

  const std::string& refusal() const { return refusal_; }

 private:
  enum class Place { kBefore, kMembers, kArray, kAfter };

  bool value(std::string text);
  bool valid_text(std::string_view text);
  bool refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
  }

  FieldAdder& adder_;
  const NumberMaskingStream& stream_;
  Place place_ = Place::kBefore;
  std::string name_;
  std::string refusal_;
};

bool FieldEvents::StartObject() {
  if (place_ == Place::kBefore) {
    place_ = Place::kMembers;
    return true;
  }
  return refuse("field " + shown_name(name_) +
                " holds an object; a value is a string, number, boolean, null or an array of "
                "those");
}

bool FieldEvents::StartArray() {
  if (place_ == Place::kBefore) return refuse("the top level is not an object");
  if (place_ == Place::kArray)
    return refuse("field " + shown_name(name_) + " holds an array inside an array");
  place_ = Place::kArray;
  return true;
}

bool FieldEvents::EndArray(rapidjson::SizeType count) {
  place_ = Place::kMembers;
  if (count == 0) adder_.add(name_, std::string());
  return true;
}

bool FieldEvents::value(std::string text) {
  if (place_ == Place::kBefore) return refuse("the top level is not an object");
  if (!valid_text(text)) return false;
  adder_.add(name_, std::move(text));
  return true;
}

bool FieldEvents::valid_text(std::string_view text) {
  if (!has_encoded_surrogate(text)) return true;
  return refuse("a string holds a \\u escape of an unpaired surrogate");
}

// "JSON body at offset N: why", N counted in bytes from 0.
MalformedRequest malformed_at(std::size_t offset, std::string_view why) {
  return MalformedRequest("JSON body at offset " + std::to_string(offset) + ": " +
                          std::string(why));
}

std::string parse_error_text(rapidjson::ParseErrorCode code) {
  if (code == rapidjson::kParseErrorStringInvalidEncoding) return "invalid UTF-8";
  return rapidjson::GetParseError_En(code);
}

void parse_fields(std::string_view body, FieldAdder& adder) {
  NumberMaskingStream stream(body);
  FieldEvents events(adder, stream);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, events);
  if (result.Code() == rapidjson::kParseErrorTermination)
    throw malformed_at(result.Offset(), events.refusal());
  // The stream ends the text at a NUL byte (never valid in JSON): an error there
  // or a clean end before it is the NUL's.
  std::size_t nul = body.find('\0');
  if (result.IsError() && result.Offset() < nul)
    throw malformed_at(result.Offset(), parse_error_text(result.Code()));
  if (nul != std::string_view::npos) throw malformed_at(nul, "a NUL byte");
}

void refuse_larger_than(const RequestLimits& limits, std::size_t size) {
  if (static_cast<std::uint64_t>(size) <= static_cast<std::uint64_t>(limits.max_request_size))
    return;
  throw RequestLimitExceeded("JSON body exceeds MaxRequestSize (" +
                             std::to_string(limits.max_request_size) + ")");
}

}  // namespace

void JsonBodyDecoder::feed(std::string_view chunk) {
  refuse_larger_than(adder_.limits(), body_.size() + chunk.size());
  body_.append(chunk);
}

void JsonBodyDecoder::finish() { parse_fields(body_, adder_); }

void decode_json_body(std::string_view body, FieldAdder& adder) {
  refuse_larger_than(adder.limits(), body.size());
  parse_fields(body, adder);
}
