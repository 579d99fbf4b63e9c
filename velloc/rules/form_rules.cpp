#include "velloc/rules/form_rules.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <map>

#include "platform/text.h"

namespace rules {
namespace {

constexpr std::string_view kArrow = "->";
// The memory RE2 may give one compiled pattern: bounds the size of its program, so a
// pattern too large for it is refused when the settings are read.
constexpr int64_t kPatternMemory = 1 << 20;
constexpr std::size_t kMaxNumberDigits = 6;

enum class KeyKind { kRoute, kWhen, kValidate, kFallback, kNone };

struct NumberedKey {
  KeyKind kind;
  long number;  // -1 for the bare name
};

NumberedKey numbered_key(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, KeyKind>, 3> kLists = {
      {{"Route", KeyKind::kRoute}, {"When", KeyKind::kWhen}, {"Validate", KeyKind::kValidate}}};
  if (platform::equal_ignoring_case(name, "RouteFallback")) return {KeyKind::kFallback, -1};
  for (const auto& [prefix, kind] : kLists) {
    if (name.size() < prefix.size() || name.size() > prefix.size() + kMaxNumberDigits) continue;
    if (!platform::equal_ignoring_case(name.substr(0, prefix.size()), prefix)) continue;
    std::string_view digits = name.substr(prefix.size());
    if (digits.empty()) return {kind, -1};
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    return {kind, std::strtol(std::string(digits).c_str(), nullptr, 10)};
  }
  return {KeyKind::kNone, 0};
}

std::string trimmed(std::string_view text) { return std::string(platform::trim(text)); }

bool starts_with_word(std::string_view text, std::string_view word) {
  return text.size() >= word.size() &&
         platform::equal_ignoring_case(text.substr(0, word.size()), word) &&
         (text.size() == word.size() || text[word.size()] == ' ');
}

std::string lower_ascii(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::vector<std::string> comma_list(std::string_view text) {
  std::vector<std::string> items;
  for (const std::string& item : platform::split_at(text, ","))
    if (std::string value = trimmed(item); !value.empty()) items.push_back(std::move(value));
  return items;
}

// A decimal number: an optional sign, digits, an optional fraction; nothing else.
std::optional<double> parse_number(std::string_view text, bool whole) {
  text = platform::trim(text);
  std::size_t at = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  std::size_t digits = 0, point = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9')
      ++digits;
    else if (text[i] == '.' && !whole && point++ == 0)
      continue;
    else
      return std::nullopt;
  }
  if (digits == 0 || text.back() == '.') return std::nullopt;
  return std::strtod(std::string(text).c_str(), nullptr);
}

struct Bounds {
  std::string low_text, high_text;
  std::optional<double> low, high;
};

// "LOW..HIGH", either side may be left out (not both).
std::optional<Bounds> parse_bounds(std::string_view text, bool whole, std::string* error) {
  std::size_t dots = text.find("..");
  if (dots == std::string_view::npos) {
    *error = "a range is written LOW..HIGH (either may be left out)";
    return std::nullopt;
  }
  Bounds bounds{trimmed(text.substr(0, dots)), trimmed(text.substr(dots + 2)), {}, {}};
  for (auto [written, number] :
       {std::pair{&bounds.low_text, &bounds.low}, std::pair{&bounds.high_text, &bounds.high}}) {
    if (written->empty()) continue;
    *number = parse_number(*written, whole);
    if (!*number) {
      *error = "\"" + *written + "\" is no " + (whole ? "whole number" : "number");
      return std::nullopt;
    }
  }
  if (!bounds.low && !bounds.high) {
    *error = "a range needs at least one bound";
    return std::nullopt;
  }
  if (bounds.low && bounds.high && *bounds.low > *bounds.high) {
    *error = "the range's low bound is above its high bound";
    return std::nullopt;
  }
  return bounds;
}

std::shared_ptr<const re2::RE2> compile(std::string_view pattern, std::string* error) {
  if (pattern.empty()) {
    *error = "an empty pattern";
    return nullptr;
  }
  re2::RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kPatternMemory);
  auto compiled =
      std::make_shared<const re2::RE2>(re2::StringPiece(pattern.data(), pattern.size()), options);
  if (!compiled->ok()) {
    *error = "the pattern cannot be read: " + compiled->error();
    return nullptr;
  }
  return compiled;
}

// A field name: letters, digits and "_-.[]" (the names a form's inputs carry).
bool is_field_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           c == '-' || c == '.' || c == '[' || c == ']';
  });
}

// "FIELD: VALUE", "FIELD is VALUE", "FIELD is one of A, B", "FIELD contains TEXT",
// "FIELD matches PATTERN", "FIELD in LOW..HIGH", "FIELD is empty", "FIELD is not empty".
std::optional<Condition> parse_condition(std::string_view text, std::string* error) {
  text = platform::trim(text);
  std::size_t end = 0;
  while (end < text.size() && text[end] != ' ' && text[end] != ':') ++end;
  Condition condition;
  condition.field = std::string(text.substr(0, end));
  if (!is_field_name(condition.field)) {
    *error = "the condition must start with a field's name";
    return std::nullopt;
  }
  std::string_view rest = platform::trim(text.substr(end));
  auto value_after = [&](std::size_t length) { return trimmed(rest.substr(length)); };
  if (!rest.empty() && rest[0] == ':') {
    condition.values = {value_after(1)};
  } else if (platform::equal_ignoring_case(rest, "is empty")) {
    condition.kind = Condition::Kind::kEmpty;
  } else if (platform::equal_ignoring_case(rest, "is not empty")) {
    condition.kind = Condition::Kind::kNotEmpty;
  } else if (starts_with_word(rest, "is one of")) {
    condition.kind = Condition::Kind::kOneOf;
    condition.values = comma_list(rest.substr(9));
  } else if (starts_with_word(rest, "is")) {
    condition.values = {value_after(2)};
  } else if (starts_with_word(rest, "contains")) {
    condition.kind = Condition::Kind::kContains;
    condition.values = {value_after(8)};
  } else if (starts_with_word(rest, "matches")) {
    condition.kind = Condition::Kind::kMatches;
    condition.pattern = compile(value_after(7), error);
    if (!condition.pattern) return std::nullopt;
    return condition;
  } else if (starts_with_word(rest, "in")) {
    condition.kind = Condition::Kind::kInRange;
    std::optional<Bounds> bounds = parse_bounds(rest.substr(2), false, error);
    if (!bounds) return std::nullopt;
    condition.low = bounds->low;
    condition.high = bounds->high;
    return condition;
  } else {
    *error =
        "unknown condition; write \"FIELD: VALUE\", \"FIELD is VALUE\", \"FIELD is one of "
        "A, B\", \"FIELD contains TEXT\", \"FIELD matches PATTERN\", \"FIELD in LOW..HIGH\" "
        "or \"FIELD is empty\"";
    return std::nullopt;
  }
  if ((condition.kind == Condition::Kind::kEquals || condition.kind == Condition::Kind::kContains ||
       condition.kind == Condition::Kind::kOneOf) &&
      (condition.values.empty() || condition.values[0].empty())) {
    *error = "the condition names no value";
    return std::nullopt;
  }
  return condition;
}

// A template name as the form's TEMPLATE_ fields take it: below the template folder.
bool is_template_name(std::string_view name) {
  return !name.empty() && name.find("..") == std::string_view::npos;
}

bool is_tag(std::string_view tag) { return tag.size() <= 64 && is_webhook_name(tag); }

bool is_webhook_address(std::string_view value) {
  return value.starts_with("https://") || value.starts_with("http://");
}

std::optional<Action> parse_action(std::string_view text, std::string* error) {
  text = platform::trim(text);
  struct Form {
    std::string_view words;
    Action::Kind kind;
    bool takes_value;
  };
  static constexpr std::array<Form, 5> kForms = {{
      {"skip receipt", Action::Kind::kSkipReceipt, false},
      {"mail template", Action::Kind::kMailTemplate, true},
      {"receipt template", Action::Kind::kReceiptTemplate, true},
      {"webhook", Action::Kind::kWebhook, true},
      {"tag", Action::Kind::kTag, true},
  }};
  for (const Form& form : kForms) {
    if (!starts_with_word(text, form.words)) continue;
    Action action{form.kind, trimmed(text.substr(form.words.size())), {}};
    if (!form.takes_value) {
      if (action.value.empty()) return action;
    } else if (form.kind == Action::Kind::kWebhook && !is_webhook_address(action.value) &&
               is_webhook_name(action.value)) {
      action.name = std::move(action.value);
      action.value.clear();
      return action;
    } else if (form.kind == Action::Kind::kTag       ? is_tag(action.value)
               : form.kind == Action::Kind::kWebhook ? is_webhook_address(action.value)
                                                     : is_template_name(action.value)) {
      return action;
    }
    *error = "\"" + std::string(text) + "\": " +
             (form.kind == Action::Kind::kTag ? "a tag is letters, digits, \"_-.\""
              : form.kind == Action::Kind::kWebhook
                  ? "a webhook is an http(s):// address or a name of [Webhooks]"
              : form.takes_value ? "a template name below TEMPLATE_DIR"
                                 : "takes no value");
    return std::nullopt;
  }
  *error = "\"" + std::string(text) +
           "\": unknown action; write skip receipt, mail template NAME, receipt template NAME, "
           "webhook URL, webhook NAME or tag NAME";
  return std::nullopt;
}

// "CONDITION -> WHAT": the condition and the text after the last arrow.
std::optional<std::pair<Condition, std::string>> split_rule(std::string_view value,
                                                            std::string* error) {
  std::size_t arrow = value.rfind(kArrow);
  if (arrow == std::string_view::npos) {
    *error = "no \"->\" between the condition and what follows it";
    return std::nullopt;
  }
  std::optional<Condition> condition = parse_condition(value.substr(0, arrow), error);
  if (!condition) return std::nullopt;
  return std::pair{std::move(*condition), trimmed(value.substr(arrow + kArrow.size()))};
}

bool is_address(std::string_view address);

std::optional<std::vector<std::string>> parse_addresses(std::string_view text, std::string* error) {
  std::vector<std::string> addresses = comma_list(text);
  if (addresses.empty()) *error = "no address";
  for (const std::string& address : addresses)
    if (!is_address(address)) *error = "\"" + address + "\" is no mail address";
  if (!error->empty()) return std::nullopt;
  return addresses;
}

std::optional<Rule> parse_route(std::string_view key, std::string_view value, std::string* error) {
  auto split = split_rule(value, error);
  if (!split) return std::nullopt;
  std::optional<std::vector<std::string>> recipients = parse_addresses(split->second, error);
  if (!recipients) return std::nullopt;
  return Rule{
      std::string(key), std::string(value), std::move(split->first), std::move(*recipients), {}};
}

std::optional<Rule> parse_when(std::string_view key, std::string_view value, std::string* error) {
  auto split = split_rule(value, error);
  if (!split) return std::nullopt;
  Rule rule{std::string(key), std::string(value), std::move(split->first), {}, {}};
  for (const std::string& text : platform::split_at(split->second, ";")) {
    if (platform::trim(text).empty()) continue;
    std::optional<Action> action = parse_action(text, error);
    if (!action) return std::nullopt;
    rule.actions.push_back(std::move(*action));
  }
  if (rule.actions.empty()) {
    *error = "no action after \"->\"";
    return std::nullopt;
  }
  return rule;
}

std::optional<FieldCheck> parse_check(std::string_view key, std::string_view value,
                                      std::string* error) {
  std::size_t colon = value.find(':');
  FieldCheck check;
  check.key = std::string(key);
  check.field = colon == std::string_view::npos ? "" : trimmed(value.substr(0, colon));
  if (!is_field_name(check.field)) {
    *error = "write FIELD: CHECK";
    return std::nullopt;
  }
  std::string_view rest = platform::trim(value.substr(colon + 1));
  using K = FieldCheck::Kind;
  static constexpr std::array<std::pair<std::string_view, K>, 7> kKinds = {
      {{"email", K::kEmail},
       {"integer", K::kInteger},
       {"number", K::kNumber},
       {"length", K::kLength},
       {"one of", K::kOneOf},
       {"date", K::kDate},
       {"pattern", K::kPattern}}};
  for (const auto& [word, kind] : kKinds) {
    if (!starts_with_word(rest, word)) continue;
    check.kind = kind;
    std::string_view argument = platform::trim(rest.substr(word.size()));
    switch (kind) {
      case K::kEmail:
      case K::kDate:
        if (argument.empty()) return check;
        *error = "\"" + std::string(word) + "\" takes nothing after it";
        return std::nullopt;
      case K::kInteger:
      case K::kNumber:
      case K::kLength: {
        if (argument.empty() && kind != K::kLength) return check;
        std::optional<Bounds> bounds = parse_bounds(argument, kind != K::kNumber, error);
        if (!bounds) return std::nullopt;
        check.low_text = bounds->low_text;
        check.high_text = bounds->high_text;
        check.low = bounds->low;
        check.high = bounds->high;
        return check;
      }
      case K::kOneOf:
        check.choices = comma_list(argument);
        if (!check.choices.empty()) return check;
        *error = "\"one of\" lists no value";
        return std::nullopt;
      case K::kPattern:
        check.pattern = compile(argument, error);
        if (!check.pattern) return std::nullopt;
        return check;
    }
  }
  *error =
      "unknown check; write email, integer [LOW..HIGH], number [LOW..HIGH], length "
      "LOW..HIGH, one of A, B, date or pattern REGEX";
  return std::nullopt;
}

// An address as a routed recipient must be written: local@domain.tld, nothing else.
bool is_address(std::string_view address) {
  std::size_t at = address.find('@');
  if (at == 0 || at == std::string_view::npos ||
      address.find('@', at + 1) != std::string_view::npos)
    return false;
  std::string_view domain = address.substr(at + 1);
  if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
      domain.find("..") != std::string_view::npos)
    return false;
  auto printable = [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && c != '<' && c != '>' && c != ',' && c != ';' &&
           c != '"' && c != '(' && c != ')' && c != '\\' && c != 0x7f;
  };
  return std::all_of(address.begin(), address.end(), printable) &&
         domain.find('.') != std::string_view::npos;
}

bool equal_value(std::string_view a, std::string_view b) {
  return platform::equal_ignoring_case(platform::trim(a), b);
}

std::size_t code_points(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool within(double value, const std::optional<double>& low, const std::optional<double>& high) {
  return (!low || value >= *low) && (!high || value <= *high);
}

bool is_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  int year = std::atoi(std::string(text.substr(0, 4)).c_str());
  int month = std::atoi(std::string(text.substr(5, 2)).c_str());
  int day = std::atoi(std::string(text.substr(8, 2)).c_str());
  static constexpr std::array<int, 12> kDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

FieldError error_of(const FieldCheck& check) {
  using M = ValidationMessage;
  FieldError error{check.field, M::kPattern, {}};
  bool both = check.low && check.high, low_only = check.low && !check.high;
  auto ranged = [&](M range, M at_least, M at_most) {
    error.message = both ? range : low_only ? at_least : at_most;
    if (check.low) error.values.emplace_back("min", check.low_text);
    if (check.high) error.values.emplace_back("max", check.high_text);
  };
  switch (check.kind) {
    case FieldCheck::Kind::kEmail:
      error.message = M::kEmail;
      break;
    case FieldCheck::Kind::kInteger:
      if (!check.low && !check.high)
        error.message = M::kInteger;
      else
        ranged(M::kIntegerRange, M::kIntegerAtLeast, M::kIntegerAtMost);
      break;
    case FieldCheck::Kind::kNumber:
      if (!check.low && !check.high)
        error.message = M::kNumber;
      else
        ranged(M::kNumberRange, M::kNumberAtLeast, M::kNumberAtMost);
      break;
    case FieldCheck::Kind::kLength:
      ranged(M::kLengthRange, M::kLengthAtLeast, M::kLengthAtMost);
      break;
    case FieldCheck::Kind::kOneOf: {
      error.message = M::kOneOf;
      std::string choices;
      for (const std::string& choice : check.choices)
        choices += (choices.empty() ? "" : ", ") + choice;
      error.values.emplace_back("choices", choices);
      break;
    }
    case FieldCheck::Kind::kDate:
      error.message = M::kDate;
      break;
    case FieldCheck::Kind::kPattern:
      break;
  }
  return error;
}

template <typename Item>
void add_once(std::vector<Item>& items, const Item& item) {
  if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
}

}  // namespace

bool is_rule_key(std::string_view name) { return numbered_key(name).kind != KeyKind::kNone; }

bool is_webhook_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           c == '-' || c == '.';
  });
}

void resolve_named_webhooks(FormRules& rules,
                            const std::vector<std::pair<std::string, std::string>>& named) {
  for (Rule& rule : rules.rules)
    for (Action& action : rule.actions) {
      if (action.kind != Action::Kind::kWebhook || action.name.empty()) continue;
      auto found = std::find_if(named.begin(), named.end(), [&](const auto& entry) {
        return platform::equal_ignoring_case(entry.first, action.name);
      });
      action.value = found == named.end() ? std::string() : found->second;
    }
}

std::optional<std::string> rule_value_problem(std::string_view key, std::string_view value) {
  std::string error;
  bool read = false;
  switch (numbered_key(key).kind) {
    case KeyKind::kRoute:
      read = parse_route(key, value, &error).has_value();
      break;
    case KeyKind::kWhen:
      read = parse_when(key, value, &error).has_value();
      break;
    case KeyKind::kValidate:
      read = parse_check(key, value, &error).has_value();
      break;
    case KeyKind::kFallback:
      read = parse_addresses(value, &error).has_value();
      break;
    case KeyKind::kNone:
      return std::nullopt;
  }
  if (read) return std::nullopt;
  return error;
}

FormRules read_form_rules(const std::vector<std::pair<std::string, std::string>>& entries,
                          const RuleProblem& problem) {
  FormRules rules;
  // Ordered by kind, then number (the bare name first), then file order.
  std::multimap<std::pair<KeyKind, long>, const std::pair<std::string, std::string>*> ordered;
  for (const auto& entry : entries) {
    NumberedKey key = numbered_key(entry.first);
    if (key.kind != KeyKind::kNone) ordered.emplace(std::pair{key.kind, key.number}, &entry);
  }
  for (const auto& [order, entry] : ordered) {
    const auto& [key, value] = *entry;
    std::string error;
    if (order.first == KeyKind::kRoute) {
      if (auto rule = parse_route(key, value, &error)) rules.routes.push_back(std::move(*rule));
    } else if (order.first == KeyKind::kWhen) {
      if (auto rule = parse_when(key, value, &error)) rules.rules.push_back(std::move(*rule));
    } else if (order.first == KeyKind::kValidate) {
      if (auto check = parse_check(key, value, &error)) rules.checks.push_back(std::move(*check));
    } else if (auto addresses = parse_addresses(value, &error)) {
      rules.fallback = std::move(*addresses);
    }
    if (!error.empty() && problem) problem(key, error);
  }
  return rules;
}

bool condition_holds(const Condition& condition, const FieldLookup& fields) {
  std::string value = fields(condition.field);
  switch (condition.kind) {
    case Condition::Kind::kEquals:
      return equal_value(value, condition.values[0]);
    case Condition::Kind::kOneOf:
      return std::any_of(condition.values.begin(), condition.values.end(),
                         [&](const std::string& one) { return equal_value(value, one); });
    case Condition::Kind::kContains:
      return lower_ascii(value).find(lower_ascii(condition.values[0])) != std::string::npos;
    case Condition::Kind::kMatches:
      return re2::RE2::PartialMatch(value, *condition.pattern);
    case Condition::Kind::kInRange: {
      std::optional<double> number = parse_number(value, false);
      return number && within(*number, condition.low, condition.high);
    }
    case Condition::Kind::kEmpty:
      return platform::trim(value).empty();
    case Condition::Kind::kNotEmpty:
      return !platform::trim(value).empty();
  }
  return false;
}

RuleDecision decide_rules(const FormRules& rules, const FieldLookup& fields) {
  RuleDecision decision;
  decision.routed = !rules.routes.empty() || !rules.fallback.empty();
  for (const Rule& route : rules.routes) {
    if (!condition_holds(route.condition, fields)) continue;
    decision.matched.push_back(&route);
    for (const std::string& address : route.recipients) add_once(decision.recipients, address);
  }
  if (decision.routed && decision.recipients.empty()) {
    decision.fell_back = true;
    decision.recipients = rules.fallback;
  }
  for (const Rule& rule : rules.rules) {
    if (!condition_holds(rule.condition, fields)) continue;
    decision.matched.push_back(&rule);
    for (const Action& action : rule.actions) {
      switch (action.kind) {
        case Action::Kind::kSkipReceipt:
          decision.skip_receipt = true;
          break;
        case Action::Kind::kMailTemplate:
          decision.mail_template = action.value;
          break;
        case Action::Kind::kReceiptTemplate:
          decision.receipt_template = action.value;
          break;
        case Action::Kind::kWebhook:
          if (action.value.empty())
            add_once(decision.unknown_webhooks, action.name);
          else
            add_once(decision.webhooks, action.value);
          break;
        case Action::Kind::kTag:
          add_once(decision.tags, action.value);
          break;
      }
    }
  }
  return decision;
}

bool passes(const FieldCheck& check, std::string_view value) {
  std::string_view text = platform::trim(value);
  if (text.empty()) return true;
  switch (check.kind) {
    case FieldCheck::Kind::kEmail:
      return is_address(text);
    case FieldCheck::Kind::kInteger:
    case FieldCheck::Kind::kNumber: {
      std::optional<double> number = parse_number(text, check.kind == FieldCheck::Kind::kInteger);
      return number && within(*number, check.low, check.high);
    }
    case FieldCheck::Kind::kLength:
      return within(static_cast<double>(code_points(text)), check.low, check.high);
    case FieldCheck::Kind::kOneOf:
      return std::any_of(check.choices.begin(), check.choices.end(),
                         [&](const std::string& one) { return equal_value(text, one); });
    case FieldCheck::Kind::kDate:
      return is_date(text);
    case FieldCheck::Kind::kPattern:
      return re2::RE2::FullMatch(re2::StringPiece(text.data(), text.size()), *check.pattern);
  }
  return true;
}

std::string FieldError::english() const {
  return fill_placeholders(validation_message_text(message), values);
}

std::vector<FieldError> validate_fields(const FormRules& rules, const FieldLookup& fields) {
  std::vector<FieldError> errors;
  for (const FieldCheck& check : rules.checks) {
    bool failed_before = std::any_of(errors.begin(), errors.end(), [&](const FieldError& error) {
      return error.field == check.field;
    });
    if (!failed_before && !passes(check, fields(check.field))) errors.push_back(error_of(check));
  }
  return errors;
}

}  // namespace rules
