#include "velloc/check/settings_listing.h"

#include "platform/ini_file.h"
#include "velloc/check/settings_check.h"
#include "velloc/settings/settings_model.h"

namespace {

using settings::KeyDeclaration;
using settings::ValueType;

constexpr std::string_view kOption = "--show-settings";

std::string places_of(unsigned places) {
  std::string text;
  auto add = [&](unsigned bit, std::string_view name) {
    if ((places & bit) == 0) return;
    if (!text.empty()) text += ',';
    text += name;
  };
  add(settings::kVellocSection, "[Velloc]");
  add(settings::kFormProfile, "[Form NAME]");
  add(settings::kTextFileTemplate, "[TEMPLATES]");
  add(settings::kDatabaseTemplate, "[DATABASE]");
  return text;
}

std::string_view type_word(ValueType type) {
  switch (type) {
    case ValueType::kText:
      return "text";
    case ValueType::kInteger:
      return "integer";
    case ValueType::kFlag:
      return "flag";
    case ValueType::kAddresses:
      return "addresses";
    case ValueType::kHosts:
      return "hosts";
    case ValueType::kOrigins:
      return "origins";
    case ValueType::kSize:
      return "size";
    case ValueType::kRate:
      return "rate";
    case ValueType::kDecimal:
      return "decimal";
    case ValueType::kChoice:
      return "choice";
    case ValueType::kPath:
      return "path";
    case ValueType::kFolder:
      return "folder";
    case ValueType::kTemplate:
      return "template";
    case ValueType::kAddress:
      return "address";
    case ValueType::kUrl:
      return "url";
  }
  return "text";
}

bool bounded(const KeyDeclaration& key) {
  return (key.type == ValueType::kInteger || key.type == ValueType::kDecimal ||
          key.type == ValueType::kSize) &&
         key.minimum < key.maximum;
}

// "integer 1..300", "choice none|starttls|tls", "text, secret".
std::string type_shape(const KeyDeclaration& key) {
  std::string shape(type_word(key.type));
  if (bounded(key))
    shape.append(" ")
        .append(std::to_string(key.minimum))
        .append("..")
        .append(std::to_string(key.maximum));
  if (key.type == ValueType::kChoice) shape.append(" ").append(key.choices);
  if (key.secret) shape.append(", secret");
  return shape;
}

// What [Velloc] of the file sets, as a web run reads it; nullopt when nothing.
std::optional<std::string> site_value(const std::string& file, const KeyDeclaration& key) {
  if (file.empty() || (key.places & settings::kVellocSection) == 0) return std::nullopt;
  return platform::find_ini_value(file, "Velloc", key.name);
}

std::string value_in_force(const std::string& file, const KeyDeclaration& key) {
  if ((key.places & settings::kVellocSection) == 0)
    return key.places == settings::kFormProfile ? "(per form)" : "(per template)";
  std::optional<std::string> value = site_value(file, key);
  if (key.secret) return value && !value->empty() ? "(set)" : "(not set)";
  if (!value) return "(default)";
  return value->empty() ? "(empty)" : *value;
}

void write_json(const std::string& file, std::ostream& out) {
  out << "{\"settings_file\": " << (file.empty() ? "null" : json_text(file)) << ", \"keys\": [";
  bool first = true;
  for (const KeyDeclaration& key : settings::declared_keys()) {
    out << (first ? "\n  " : ",\n  ") << "{\"name\": " << json_text(key.name)
        << ", \"places\": " << json_text(places_of(key.places))
        << ", \"type\": " << json_text(type_word(key.type));
    first = false;
    if (bounded(key)) out << ", \"minimum\": " << key.minimum << ", \"maximum\": " << key.maximum;
    if (key.type == ValueType::kChoice) out << ", \"choices\": " << json_text(key.choices);
    out << ", \"default\": " << json_text(key.default_value)
        << ", \"secret\": " << (key.secret ? "true" : "false");
    if ((key.places & settings::kVellocSection) != 0) {
      std::optional<std::string> value = site_value(file, key);
      if (key.secret)
        out << ", \"set\": " << (value && !value->empty() ? "true" : "false");
      else
        out << ", \"value\": " << (value ? json_text(*value) : "null");
    }
    out << "}";
  }
  out << "\n]}\n";
}

}  // namespace

bool is_listing_command_line(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments)
    if (argument == kOption) return true;
  return false;
}

std::optional<ListingOptions> parse_listing_options(const std::vector<std::string>& arguments,
                                                    std::string* error) {
  ListingOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == kOption) continue;
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--settings" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
      options.settings_file = arguments[++i];
    } else if (argument.starts_with("--settings=") && argument.size() > 11) {
      options.settings_file = argument.substr(11);
    } else {
      *error = argument == "--settings" ? "--settings needs a path"
                                        : std::string(kOption) + " does not take " + argument;
      return std::nullopt;
    }
  }
  return options;
}

void list_settings(const std::string& settings_file, bool json, std::ostream& out) {
  if (json) {
    write_json(settings_file, out);
    return;
  }
  for (const KeyDeclaration& key : settings::declared_keys()) {
    std::string default_value(key.default_value);
    out << key.name << '\t' << places_of(key.places) << '\t' << type_shape(key) << '\t'
        << (default_value.empty() ? "(none)" : default_value) << '\t'
        << value_in_force(settings_file, key) << '\n';
  }
}

std::string listing_usage() {
  return "  --show-settings         list every key: where it may stand, its type, its\n"
         "                          default and the value [Velloc] gives it (a secret\n"
         "                          only as (set) or (not set)); one line a key\n"
         "    --settings PATH       the settings file (else found as a web run finds it)\n"
         "    --json                as a JSON document\n";
}
