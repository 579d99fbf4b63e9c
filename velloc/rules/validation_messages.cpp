#include "velloc/rules/validation_messages.h"

#include <array>

namespace {

struct MessageRow {
  ValidationMessage id;
  std::string_view text;
};

// Every text of a failed field check, in English.
constexpr std::array<MessageRow, 16> kMessages = {{
    {ValidationMessage::kHeading,
     "Form entry not valid, the following fields are not as expected:"},
    {ValidationMessage::kEmail, "must be an e-mail address"},
    {ValidationMessage::kInteger, "must be a whole number"},
    {ValidationMessage::kIntegerRange, "must be a whole number from {min} to {max}"},
    {ValidationMessage::kIntegerAtLeast, "must be a whole number of at least {min}"},
    {ValidationMessage::kIntegerAtMost, "must be a whole number of at most {max}"},
    {ValidationMessage::kNumber, "must be a number"},
    {ValidationMessage::kNumberRange, "must be a number from {min} to {max}"},
    {ValidationMessage::kNumberAtLeast, "must be a number of at least {min}"},
    {ValidationMessage::kNumberAtMost, "must be a number of at most {max}"},
    {ValidationMessage::kLengthRange, "must be {min} to {max} characters long"},
    {ValidationMessage::kLengthAtLeast, "must be at least {min} characters long"},
    {ValidationMessage::kLengthAtMost, "must be at most {max} characters long"},
    {ValidationMessage::kOneOf, "must be one of: {choices}"},
    {ValidationMessage::kDate, "must be a date (YYYY-MM-DD)"},
    {ValidationMessage::kPattern, "is not in the expected form"},
}};

}  // namespace

std::string_view validation_message_text(ValidationMessage message) {
  for (const MessageRow& row : kMessages)
    if (row.id == message) return row.text;
  return kMessages.back().text;
}

std::vector<std::string_view> validation_message_texts() {
  std::vector<std::string_view> texts;
  for (const MessageRow& row : kMessages) texts.push_back(row.text);
  return texts;
}

std::string fill_placeholders(std::string_view text,
                              const std::vector<std::pair<std::string, std::string>>& values) {
  std::string filled;
  for (std::size_t at = 0; at < text.size();) {
    bool replaced = false;
    if (text[at] == '{') {
      for (const auto& [name, value] : values) {
        std::string placeholder = "{" + name + "}";
        if (text.substr(at, placeholder.size()) == placeholder) {
          filled += value;
          at += placeholder.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) filled += text[at++];
  }
  return filled;
}
