// The declaration of every key velloc reads from its settings file and from the
// settings-format templates: where a key may stand, the type of its value, its
// default and whether it is a secret. The table is constant data; the checker,
// the documentation test and `velloc --check` read it. It includes nothing of
// velloc above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace settings {

// Where a key may be written: a bit set.
enum Place : unsigned {
  kVellocSection = 1,     // [Velloc] of the settings file
  kFormProfile = 2,       // a [Form NAME] section of the settings file
  kTextFileTemplate = 4,  // [TEMPLATES] of a text-file template (.ini)
  kDatabaseTemplate = 8,  // [DATABASE] of a database template (.ini)
};

enum class ValueType {
  kText,
  kInteger,    // decimal digits within `minimum` and `maximum`
  kFlag,       // 0 or 1
  kAddresses,  // a list of mail addresses and @domain entries, or *
  kHosts,      // a list of host names, host:port, or *
  kOrigins,    // a list of scheme://host[:port], or *
  kSize,       // bytes, or with K or M
  kRate,       // N/SECONDS
  kDecimal,    // a number within `minimum` and `maximum`
  kChoice,     // one of `choices` (without regard to case)
  kPath,       // a file
  kFolder,     // a folder velloc writes into
  kTemplate,   // a file below TEMPLATE_DIR
  kAddress,    // one mail address
  kUrl,        // an https:// (or local http://) address
};

struct KeyDeclaration {
  std::string_view name;
  unsigned places;
  ValueType type;
  std::string_view default_value;  // as an operator reads it; "" when empty or none
  bool secret = false;
  std::int64_t minimum = 0;
  std::int64_t maximum = 0;
  std::string_view choices = {};  // "|"-separated, for kChoice
};

// Every declared key, in the order of the documentation.
std::span<const KeyDeclaration> declared_keys();

// The declaration of `name` (without regard to case) among those allowed in
// `places` (any bit); nullptr when none. "Webhook1", "Webhook2", ... are
// declared as "Webhook".
const KeyDeclaration* find_key(std::string_view name, unsigned places = ~0u);

// The declared name (of any place in `places`) nearest to `name`, for a
// "did you mean" hint; empty when none is close.
std::string_view nearest_key(std::string_view name, unsigned places);

// The edit distance of two names, without regard to case.
std::size_t name_distance(std::string_view a, std::string_view b);

// Whether `value` is a valid value of the key; otherwise `*reason` says what was
// expected ("expected 0 or 1"). An empty value is always valid: it is the empty
// text, which every key reads as its empty or off state.
bool valid_value(const KeyDeclaration& key, std::string_view value, std::string* reason);

}  // namespace settings
