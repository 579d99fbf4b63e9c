#include "velloc/guard/captcha_answer.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdio>

#include "platform/text.h"

namespace {

struct ProviderFacts {
  CaptchaProvider provider;
  const char* name;
  const char* token_field;
  const char* verify_url;
};

constexpr ProviderFacts kProviders[] = {
    {CaptchaProvider::kTurnstile, "turnstile", "cf-turnstile-response",
     "https://challenges.cloudflare.com/turnstile/v0/siteverify"},
    {CaptchaProvider::kHcaptcha, "hcaptcha", "h-captcha-response",
     "https://api.hcaptcha.com/siteverify"},
    {CaptchaProvider::kRecaptcha, "recaptcha", "g-recaptcha-response",
     "https://www.google.com/recaptcha/api/siteverify"},
};

const ProviderFacts& facts_of(CaptchaProvider provider) {
  for (const ProviderFacts& facts : kProviders)
    if (facts.provider == provider) return facts;
  return kProviders[0];
}

// Strict JSON, strings checked to be UTF-8, a parser whose call depth does not
// grow with the nesting of the answer.
constexpr unsigned kParseFlags =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
constexpr std::size_t kMaxCodes = 8;
constexpr std::size_t kMaxCodeLength = 64;
constexpr std::size_t kMaxHostname = 255;
// Scores arrive with one or two decimals; a bound so exact holds as it reads.
constexpr double kScoreSlack = 1e-9;

// A provider's text fit for one log line: printable ASCII only, cut short.
std::string shown(const char* text, std::size_t length, std::size_t limit) {
  std::string kept;
  for (std::size_t i = 0; i < length && kept.size() < limit; ++i)
    if (text[i] > ' ' && text[i] < 0x7F) kept.push_back(text[i]);
  return kept;
}

// Reads the members of the answer's top-level object that the verdict needs;
// everything nested deeper is skipped. Returns false (which stops the parser)
// for an answer that is not an object or repeats "success" or "score".
class AnswerEvents : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, AnswerEvents> {
 public:
  std::optional<bool> success;
  bool success_wrong_type = false;
  std::optional<double> score;
  bool score_wrong_type = false;
  std::string error_codes;
  std::string hostname;

  bool Null() { return scalar(); }
  bool Bool(bool b) {
    if (depth_ == 1 && key_ == "success") {
      if (success) return false;
      success = b;
      return true;
    }
    return scalar();
  }
  bool Int(int i) { return number(i); }
  bool Uint(unsigned u) { return number(u); }
  bool Int64(std::int64_t i) { return number(static_cast<double>(i)); }
  bool Uint64(std::uint64_t u) { return number(static_cast<double>(u)); }
  bool Double(double d) { return number(d); }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    if (in_codes_ && depth_ == 2) add_code(shown(text, length, kMaxCodeLength));
    if (depth_ == 1 && key_ == "hostname") hostname = shown(text, length, kMaxHostname);
    return scalar();
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (depth_ == 1) key_.assign(text, length);
    return true;
  }
  bool StartObject() { return open(); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() {
    if (depth_ == 0) return false;
    if (depth_ == 1) {
      in_codes_ = key_ == "error-codes";
      scalar();
    }
    ++depth_;
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    if (--depth_ == 1) in_codes_ = false;
    return true;
  }

 private:
  int depth_ = 0;
  std::string key_;
  bool in_codes_ = false;
  std::size_t codes_ = 0;

  bool open() {
    if (depth_ == 1) scalar();
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }
  // A value of the top-level object that is not what its member should hold.
  bool scalar() {
    if (depth_ == 0) return false;
    if (depth_ != 1) return true;
    if (key_ == "success" && !success) success_wrong_type = true;
    if (key_ == "score" && !score) score_wrong_type = true;
    return true;
  }
  bool number(double value) {
    if (depth_ != 1 || key_ != "score") return scalar();
    if (score) return false;
    score = value;
    return true;
  }
  void add_code(const std::string& code) {
    if (code.empty() || codes_ >= kMaxCodes) return;
    if (codes_++ > 0) error_codes += ", ";
    error_codes += code;
  }
};

bool reads_score(CaptchaProvider provider) { return provider != CaptchaProvider::kTurnstile; }

// A score as providers write it: 0.9, 0.25, 1.
std::string shown_score(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", value);
  return text;
}

std::string passed_text(const CaptchaVerdict& verdict) {
  std::string text = verdict.hostname.empty() ? "" : "solved on " + verdict.hostname;
  if (!verdict.score) return text;
  return text + (text.empty() ? "" : ", ") + "score " + shown_score(*verdict.score);
}

}  // namespace

std::optional<CaptchaProvider> captcha_provider_named(std::string_view name) {
  name = platform::trim(name);
  for (const ProviderFacts& facts : kProviders)
    if (platform::equal_ignoring_case(name, facts.name)) return facts.provider;
  return std::nullopt;
}

const char* captcha_provider_name(CaptchaProvider provider) { return facts_of(provider).name; }
const char* captcha_token_field(CaptchaProvider provider) { return facts_of(provider).token_field; }
const char* captcha_verify_url(CaptchaProvider provider) { return facts_of(provider).verify_url; }

CaptchaVerdict judge_captcha_answer(CaptchaProvider provider, std::string_view answer,
                                    double min_score) {
  CaptchaVerdict verdict;
  if (answer.size() > kMaxCaptchaAnswer) return verdict;
  AnswerEvents events;
  rapidjson::MemoryStream stream(answer.data(), answer.size());
  rapidjson::Reader reader;
  if (reader.Parse<kParseFlags>(stream, events).IsError()) return verdict;
  verdict.error_codes = std::move(events.error_codes);
  verdict.hostname = std::move(events.hostname);
  if (!events.success || events.success_wrong_type) return verdict;
  if (!*events.success) {
    verdict.check = CaptchaCheck::kRejected;
    return verdict;
  }
  if (reads_score(provider)) {
    if (events.score_wrong_type) return verdict;
    verdict.score = events.score;
  }
  if (verdict.score && (*verdict.score < 0 || *verdict.score > 1)) return verdict;
  double humanlike = !verdict.score                           ? 1
                     : provider == CaptchaProvider::kHcaptcha ? 1 - *verdict.score
                                                              : *verdict.score;
  verdict.check =
      humanlike + kScoreSlack >= min_score ? CaptchaCheck::kPassed : CaptchaCheck::kLowScore;
  return verdict;
}

std::string captcha_verdict_text(CaptchaProvider provider, const CaptchaVerdict& verdict,
                                 double min_score) {
  switch (verdict.check) {
    case CaptchaCheck::kPassed:
      return passed_text(verdict);
    case CaptchaCheck::kRejected:
      return "token rejected (" +
             (verdict.error_codes.empty() ? std::string("no error codes") : verdict.error_codes) +
             ")";
    case CaptchaCheck::kLowScore:
      if (provider == CaptchaProvider::kHcaptcha)
        return "risk score " + shown_score(verdict.score.value_or(0)) + " over " +
               shown_score(1 - min_score);
      return "score " + shown_score(verdict.score.value_or(0)) + " under " + shown_score(min_score);
    case CaptchaCheck::kMalformed:
      break;
  }
  return "answer not understood";
}
