// The rules a form profile writes by hand: where its mail goes by the value of a
// field (Route, RouteFallback), what else a submission does by the value of a field
// (When), and what each field must hold (Validate). A profile's keys are read into a
// FormRules once per version of the settings; deciding and validating are pure
// functions of it and the submission's fields. FormRules is immutable once read and
// may be shared between runs (its compiled patterns are safe for concurrent use).
//
//   Route=department: sales -> sales@shop.example
//   Route2=department is one of support, help -> help@shop.example, desk@shop.example
//   RouteFallback=office@shop.example
//   When=amount in 1000..999999 -> tag big; receipt template big_receipt.txt
//   When1=department: sales -> webhook crm       (a name of the site's [Webhooks])
//   Validate=email: email
//   Validate2=quantity: integer 1..10
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velloc/rules/validation_messages.h"

namespace re2 {
class RE2;
}

namespace rules {

// What a rule asks of one field's value.
struct Condition {
  enum class Kind { kEquals, kOneOf, kContains, kMatches, kInRange, kEmpty, kNotEmpty };
  Kind kind = Kind::kEquals;
  std::string field;
  std::vector<std::string> values;          // kEquals, kContains: one; kOneOf: each
  std::shared_ptr<const re2::RE2> pattern;  // kMatches: found anywhere in the value
  std::optional<double> low, high;          // kInRange: a number within both
};

// What a matching When rule does.
struct Action {
  enum class Kind { kSkipReceipt, kMailTemplate, kReceiptTemplate, kWebhook, kTag };
  Kind kind;
  std::string value;  // the template, the webhook's address or the tag
  // kWebhook written as a name of the site's [Webhooks]: value is its address once
  // resolve_named_webhooks found it, and stays empty while no such name is listed.
  std::string name;
};

// One Route or When key: `key` and `text` as written, for the log and simulate.
struct Rule {
  std::string key;
  std::string text;
  Condition condition;
  std::vector<std::string> recipients;  // Route: the addresses it adds
  std::vector<Action> actions;          // When: what it does
};

// One Validate key: the check of one field, skipped while the field is blank
// (REQUIRED asks for a value).
struct FieldCheck {
  enum class Kind { kEmail, kInteger, kNumber, kLength, kOneOf, kDate, kPattern };
  std::string key;
  std::string field;
  Kind kind = Kind::kEmail;
  std::string low_text, high_text;  // the bounds as written; empty: none
  std::optional<double> low, high;
  std::vector<std::string> choices;
  std::shared_ptr<const re2::RE2> pattern;  // kPattern: the whole value must match
};

struct FormRules {
  std::vector<Rule> routes;           // Route, Route1, ... in the order of their numbers
  std::vector<std::string> fallback;  // RouteFallback: when no Route matched
  std::vector<Rule> rules;            // When, When1, ...
  std::vector<FieldCheck> checks;     // Validate, Validate1, ...
  bool empty() const {
    return routes.empty() && fallback.empty() && rules.empty() && checks.empty();
  }
};

// Whether `name` is one of the keys read here: Route, RouteFallback, When and
// Validate, the three lists also numbered (Route1 ... Route999999).
bool is_rule_key(std::string_view name);

// The rule keys among a profile's entries (others are passed over), read in the order
// of their numbers. `problem` hears of each value that cannot be read, with its key
// and the reason; such a key is left out.
using RuleProblem = std::function<void(const std::string& key, const std::string& reason)>;
FormRules read_form_rules(const std::vector<std::pair<std::string, std::string>>& entries,
                          const RuleProblem& problem = {});

// A webhook's name as [Webhooks] lists it and a rule's `webhook NAME` calls it:
// letters, digits and "_-.".
bool is_webhook_name(std::string_view name);

// Gives each webhook action written as a name the address `named` (NAME, ADDRESS
// pairs; names match without regard to case) lists for it.
void resolve_named_webhooks(FormRules& rules,
                            const std::vector<std::pair<std::string, std::string>>& named);

// The reason the value of the rule key `key` cannot be read; nullopt when it can.
std::optional<std::string> rule_value_problem(std::string_view key, std::string_view value);

// A field's value by name; the empty text when the form did not send it.
using FieldLookup = std::function<std::string(const std::string& name)>;

bool condition_holds(const Condition& condition, const FieldLookup& fields);

// What the rules decided for one submission.
struct RuleDecision {
  bool routed = false;                  // the profile has Route or RouteFallback keys
  std::vector<std::string> recipients;  // routed: each address once, in rule order
  bool fell_back = false;               // routed and no Route matched
  std::vector<const Rule*> matched;     // Route then When rules that matched
  bool skip_receipt = false;
  std::string mail_template, receipt_template;  // the last rule's that names one
  std::vector<std::string> webhooks, tags;      // each once
  std::vector<std::string> unknown_webhooks;    // names [Webhooks] does not list, each once
};
RuleDecision decide_rules(const FormRules& rules, const FieldLookup& fields);

// A field that failed its check: the message and what fills its placeholders.
struct FieldError {
  std::string field;
  ValidationMessage message;
  std::vector<std::pair<std::string, std::string>> values;
  std::string english() const;
};

// The first failed check of each field, in the order of the checks.
std::vector<FieldError> validate_fields(const FormRules& rules, const FieldLookup& fields);

// Whether `value` passes the check (a blank value always does).
bool passes(const FieldCheck& check, std::string_view value);

}  // namespace rules
