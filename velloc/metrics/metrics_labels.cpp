#include "velloc/metrics/metrics_labels.h"

namespace {

constexpr std::array<std::string_view, kOutcomeCount> kOutcomeNames = {
    "accepted",    "spam",      "failed",       "missing_fields",
    "referer",     "recipient", "unknown_form", "upload_type",
    "upload_size", "too_large", "rate_limited", "delivery_failed",
    "bad_request", "origin",    "challenge",    "other_error",
};
constexpr std::array<std::string_view, kRouteCount> kRouteNames = {"form", "inbox", "challenge",
                                                                   "health", "metrics"};
constexpr std::array<std::string_view, kDeliveryKindCount> kDeliveryKindNames = {
    "form_mail", "receipt", "webhook", "other"};
constexpr std::array<std::string_view, kDeliveryResultCount> kDeliveryResultNames = {
    "sent", "deferred", "failed", "given_up"};

}  // namespace

std::string_view outcome_name(Outcome outcome) {
  return kOutcomeNames[static_cast<std::size_t>(outcome)];
}

std::string_view route_name(Route route) { return kRouteNames[static_cast<std::size_t>(route)]; }

std::string_view delivery_kind_name(DeliveryKind kind) {
  return kDeliveryKindNames[static_cast<std::size_t>(kind)];
}

std::string_view delivery_result_name(DeliveryResult result) {
  return kDeliveryResultNames[static_cast<std::size_t>(result)];
}

// A switch without a default, so that a new Reason fails the build until it has
// its outcome here.
Outcome outcome_of(Reason reason) {
  switch (reason) {
    case Reason::kFailed:
      return Outcome::kFailed;
    case Reason::kMissingFields:
    case Reason::kInvalidFields:
      return Outcome::kMissingFields;
    case Reason::kReferer:
      return Outcome::kReferer;
    case Reason::kRecipient:
      return Outcome::kRecipient;
    case Reason::kUnknownForm:
      return Outcome::kUnknownForm;
    case Reason::kUploadType:
      return Outcome::kUploadType;
    case Reason::kUploadSize:
      return Outcome::kUploadSize;
    case Reason::kTooLarge:
      return Outcome::kTooLarge;
    case Reason::kRateLimited:
      return Outcome::kRateLimited;
    case Reason::kDeliveryFailed:
      return Outcome::kDeliveryFailed;
    case Reason::kBadRequest:
      return Outcome::kBadRequest;
    case Reason::kOrigin:
      return Outcome::kOrigin;
    case Reason::kChallenge:
      return Outcome::kChallenge;
  }
  return Outcome::kFailed;
}

Outcome outcome_named(std::string_view code) {
  // The catch-all itself is no code a JSON answer carries.
  for (std::size_t i = 0; i + 1 < kOutcomeCount; ++i) {
    if (kOutcomeNames[i] == code) return static_cast<Outcome>(i);
  }
  return Outcome::kOtherError;
}

DeliveryKind delivery_kind_named(std::string_view kind) {
  for (std::size_t i = 0; i + 1 < kDeliveryKindCount; ++i) {
    if (kDeliveryKindNames[i] == kind) return static_cast<DeliveryKind>(i);
  }
  return DeliveryKind::kOther;
}
