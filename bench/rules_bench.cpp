// What a profile's rules add to one submission: ten routing and action rules and ten
// field checks (two of them patterns) against the fields of a submission, decided and
// checked as the steps do per request. Reading the rules happens once per version of
// the settings and is measured apart. Everything else a submission does is the same
// with or without rules, so these are what the rules add to a full submission.
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "velloc/request/field_map.h"
#include "velloc/rules/form_rules.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kProfile = {
    {"Route", "department: sales -> sales@shop.example"},
    {"Route1", "department is one of support, returns -> help@shop.example"},
    {"Route2", "message contains refund -> billing@shop.example"},
    {"Route3", "country is one of de, at, ch -> dach@shop.example"},
    {"RouteFallback", "office@shop.example"},
    {"When", "amount in 1000.. -> tag big"},
    {"When1", "phone is not empty -> tag call-back"},
    {"When2", "department: press -> skip receipt; mail template press.txt"},
    {"When3", "message matches (?i)urgent|asap -> tag urgent"},
    {"When4", "company is empty -> tag private"},
    {"When5", "newsletter: yes -> webhook https://crm.shop.example/subscribe"},
    {"Validate", "email: email"},
    {"Validate1", "quantity: integer 1..10"},
    {"Validate2", "amount: number 0..100000"},
    {"Validate3", "name: length 2..80"},
    {"Validate4", "size: one of S, M, L, XL"},
    {"Validate5", "date: date"},
    {"Validate6", "postcode: pattern [0-9]{4,5}"},
    {"Validate7", "phone: pattern \\+?[0-9 ()-]{6,20}"},
    {"Validate8", "country: one of de, at, ch, fr, nl, be"},
    {"Validate9", "message: length ..5000"},
};

FieldMap submission() {
  FieldMap fields;
  const std::pair<const char*, const char*> values[] = {
      {"name", "Ann Example"},
      {"email", "ann@example.test"},
      {"department", "support"},
      {"quantity", "3"},
      {"amount", "1250.50"},
      {"size", "M"},
      {"date", "2026-03-14"},
      {"postcode", "10115"},
      {"phone", "+49 30 1234567"},
      {"country", "de"},
      {"company", ""},
      {"newsletter", "yes"},
      {"message", "Please call me back about the refund of my order, it is urgent."},
  };
  for (const auto& [name, value] : values) fields.set(name, value);
  return fields;
}

void BM_RulesPerSubmission(benchmark::State& state) {
  rules::FormRules profile = rules::read_form_rules(kProfile);
  FieldMap fields = submission();
  rules::FieldLookup lookup = [&fields](const std::string& name) {
    const std::string* value = fields.find(name);
    return value ? *value : std::string();
  };
  for (auto _ : state) {
    std::vector<rules::FieldError> errors = rules::validate_fields(profile, lookup);
    rules::RuleDecision decision = rules::decide_rules(profile, lookup);
    benchmark::DoNotOptimize(errors);
    benchmark::DoNotOptimize(decision);
  }
}

void BM_RulesReadOncePerSettingsVersion(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rules::read_form_rules(kProfile));
}

BENCHMARK(BM_RulesPerSubmission)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RulesReadOncePerSettingsVersion)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
