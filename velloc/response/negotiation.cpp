#include "velloc/response/negotiation.h"

#include <optional>

#include "platform/text.h"
#include "velloc/request/multipart_parser.h"

namespace {

constexpr int kFullQuality = 1000;  // qualities in thousandths: "0.5" is 500
constexpr std::size_t kMaxQualityDecimals = 3;

// How well a range matches a type; a more specific match overrides a less specific one.
enum Specificity { kNoMatch, kAnyType, kAnySubtype, kExactType };

struct Preference {
  Specificity specificity = kNoMatch;
  int quality = 0;
};

// A qvalue as HTTP writes it ("0", "0.25", "1", "1.000"); nullopt for anything else.
std::optional<int> parse_quality(std::string_view text) {
  text = platform::trim(text);
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return std::nullopt;
  int whole = text[0] - '0';
  if (text.size() == 1) return whole * kFullQuality;
  if (text[1] != '.' || text.size() - 2 > kMaxQualityDecimals) return std::nullopt;
  int thousandths = 0;
  int scale = kFullQuality;
  for (char c : text.substr(2)) {
    if (c < '0' || c > '9') return std::nullopt;
    scale /= 10;
    thousandths += (c - '0') * scale;
  }
  if (whole == 1 && thousandths != 0) return std::nullopt;
  return whole * kFullQuality + thousandths;
}

// The quality a range's parameters give it (full when it names none); nullopt
// when its "q" is malformed, so that the range counts for nothing.
std::optional<int> range_quality(std::string_view parameters) {
  for (std::string_view parameter : platform::split_at(parameters, ";")) {
    std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    if (platform::equal_ignoring_case(platform::trim(parameter.substr(0, equals)), "q"))
      return parse_quality(parameter.substr(equals + 1));
  }
  return kFullQuality;
}

Specificity match(std::string_view range, std::string_view type, std::string_view subtype) {
  std::size_t slash = range.find('/');
  if (slash == std::string_view::npos) return kNoMatch;
  std::string_view range_type = platform::trim(range.substr(0, slash));
  std::string_view range_subtype = platform::trim(range.substr(slash + 1));
  if (range_type == "*" && range_subtype == "*") return kAnyType;
  if (!platform::equal_ignoring_case(range_type, type)) return kNoMatch;
  if (range_subtype == "*") return kAnySubtype;
  return platform::equal_ignoring_case(range_subtype, subtype) ? kExactType : kNoMatch;
}

void consider(Preference& preference, Specificity specificity, int quality) {
  if (specificity == kNoMatch || specificity < preference.specificity) return;
  if (specificity == preference.specificity && quality <= preference.quality) return;
  preference = {specificity, quality};
}

}  // namespace

bool accept_prefers_json(std::string_view accept) {
  Preference json;
  Preference html;
  for (std::string_view element : platform::split_at(accept, ",")) {
    std::size_t semicolon = element.find(';');
    std::string_view range = element.substr(0, semicolon);
    std::optional<int> quality = semicolon == std::string_view::npos
                                     ? kFullQuality
                                     : range_quality(element.substr(semicolon));
    if (!quality) continue;
    consider(json, match(range, "application", "json"), *quality);
    consider(html, match(range, "text", "html"), *quality);
  }
  return json.quality > html.quality;
}

AnswerFormat choose_answer_format(std::string_view accept, std::string_view content_type,
                                  std::string_view response_setting) {
  bool json = accept_prefers_json(accept) || is_json_body(content_type) ||
              platform::equal_ignoring_case(platform::trim(response_setting), "json");
  return json ? AnswerFormat::kJson : AnswerFormat::kHtml;
}
