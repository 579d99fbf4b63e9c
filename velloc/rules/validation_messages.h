// The texts a visitor reads when a field fails its check: one table, in English, each
// with named placeholders ("{min}") instead of printf directives, so that the English
// text can serve as the key of a translation. Pure data and a filler; no state.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class ValidationMessage {
  kHeading,  // above the list of failed fields on the refusal page
  kEmail,
  kInteger,
  kIntegerRange,
  kIntegerAtLeast,
  kIntegerAtMost,
  kNumber,
  kNumberRange,
  kNumberAtLeast,
  kNumberAtMost,
  kLengthRange,
  kLengthAtLeast,
  kLengthAtMost,
  kOneOf,
  kDate,
  kPattern,
};

// The English text of `message`, its placeholders unfilled.
std::string_view validation_message_text(ValidationMessage message);

// Every text of the table, in its order.
std::vector<std::string_view> validation_message_texts();

// `text` with each "{name}" of `values` replaced by its value; other braces stay.
std::string fill_placeholders(std::string_view text,
                              const std::vector<std::pair<std::string, std::string>>& values);
