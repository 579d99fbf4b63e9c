#include "velloc/webhook/delivery_outcome.h"

#include <gtest/gtest.h>

namespace {

using Transport = HttpResult::Transport;

TEST(DeliveryOutcome, EveryWayACallCanEnd) {
  struct Case {
    Transport transport;
    long status;
    DeliveryOutcome expected;
  };
  const Case cases[] = {
      {Transport::kAnswered, 200, DeliveryOutcome::kDelivered},
      {Transport::kAnswered, 201, DeliveryOutcome::kDelivered},
      {Transport::kAnswered, 204, DeliveryOutcome::kDelivered},
      {Transport::kAnswered, 299, DeliveryOutcome::kDelivered},
      {Transport::kAnswered, 429, DeliveryOutcome::kTemporary},
      {Transport::kAnswered, 500, DeliveryOutcome::kTemporary},
      {Transport::kAnswered, 503, DeliveryOutcome::kTemporary},
      {Transport::kAnswered, 599, DeliveryOutcome::kTemporary},
      {Transport::kAnswered, 100, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 301, DeliveryOutcome::kPermanent},  // redirects are not followed
      {Transport::kAnswered, 302, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 400, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 401, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 404, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 408, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 600, DeliveryOutcome::kPermanent},
      {Transport::kAnswered, 0, DeliveryOutcome::kPermanent},
      {Transport::kTimedOut, 0, DeliveryOutcome::kTemporary},
      {Transport::kConnectionFailed, 0, DeliveryOutcome::kTemporary},
      {Transport::kUnavailable, 0, DeliveryOutcome::kTemporary},
      {Transport::kRefused, 0, DeliveryOutcome::kPermanent},
  };
  for (const Case& c : cases) {
    HttpResult result;
    result.transport = c.transport;
    result.status = c.status;
    EXPECT_EQ(c.expected, classify_http_result(result))
        << static_cast<int>(c.transport) << " " << c.status;
  }
}

TEST(DeliveryOutcome, AnAttemptKeepsTheStatusLineOrWhyThereWasNone) {
  HttpResult answered;
  answered.transport = Transport::kAnswered;
  answered.status = 503;
  EXPECT_EQ("HTTP 503", http_reply(answered));  // no status line seen
  answered.status_line = "HTTP/1.1 503 Service \x1bUnavailable";
  EXPECT_EQ("HTTP/1.1 503 Service \\x1bUnavailable", http_reply(answered));
  HttpResult failed;
  failed.transport = Transport::kConnectionFailed;
  failed.error = "Failed to connect to 127.0.0.1 port 9: Connection refused";
  EXPECT_EQ(failed.error, http_reply(failed));
}

}  // namespace
