// Feeds arbitrary bytes to the reader of a profile's rules, as the value of each rule
// key, and the rules read to the decisions with the bytes as every field's value: no
// input may crash, and a value the reader refuses names a reason.
#include <cstddef>
#include <cstdint>
#include <string>

#include "velloc/rules/form_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t cut = input.find('\n');
  std::string value = input.substr(0, cut);
  std::string field = cut == std::string::npos ? input : input.substr(cut + 1);
  for (const char* key : {"Route", "When2", "Validate", "RouteFallback"}) {
    std::optional<std::string> problem = rules::rule_value_problem(key, value);
    if (problem && problem->empty()) __builtin_trap();
  }
  rules::FormRules read = rules::read_form_rules(
      {{"Route", value}, {"When", value}, {"Validate", value}, {"RouteFallback", value}});
  rules::FieldLookup lookup = [&field](const std::string&) { return field; };
  rules::validate_fields(read, lookup);
  rules::decide_rules(read, lookup);
  return 0;
}
