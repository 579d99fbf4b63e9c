// The bounded label values of velloc's counters: every series the metrics show
// is one of a fixed number, so that no request can make a new one. Each label
// is a small enum with its text; the mappings from what the steps know (a
// refusal's Reason, a delivery's kind) are pure.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "velloc/answer.h"

// How a submission ended: accepted, judged spam, or refused or failed with one
// of the JSON answers' "error" codes.
enum class Outcome {
  kAccepted,
  kSpam,
  kFailed,
  kMissingFields,
  kReferer,
  kRecipient,
  kUnknownForm,
  kUploadType,
  kUploadSize,
  kTooLarge,
  kRateLimited,
  kDeliveryFailed,
  kBadRequest,
  kOrigin,
  kChallenge,
  kOtherError,  // an "error" code this list does not know
};
inline constexpr std::size_t kOutcomeCount = 16;

// The routes whose request durations are measured.
enum class Route { kForm, kInbox, kChallenge, kHealth, kMetrics };
inline constexpr std::size_t kRouteCount = 5;

// What a delivery carries, as the archive names it ("form_mail", ...).
enum class DeliveryKind { kFormMail, kReceipt, kWebhook, kOther };
inline constexpr std::size_t kDeliveryKindCount = 4;

// How one delivery attempt ended: sent, to be tried again, refused for good, or
// given up after its retries ran out.
enum class DeliveryResult { kSent, kDeferred, kFailed, kGivenUp };
inline constexpr std::size_t kDeliveryResultCount = 4;

// The label texts: "accepted", "missing_fields", "other_error"; "form", "inbox";
// "form_mail", "other"; "sent", "given_up".
std::string_view outcome_name(Outcome outcome);
std::string_view route_name(Route route);
std::string_view delivery_kind_name(DeliveryKind kind);
std::string_view delivery_result_name(DeliveryResult result);

// The outcome of a run refused or failed for `reason`: the code its JSON answer
// carries.
Outcome outcome_of(Reason reason);
// The outcome named by a JSON "error" code (or "accepted", "spam");
// kOtherError for any other text.
Outcome outcome_named(std::string_view code);
// The kind of an archived delivery; kOther for a kind this list does not know.
DeliveryKind delivery_kind_named(std::string_view kind);
