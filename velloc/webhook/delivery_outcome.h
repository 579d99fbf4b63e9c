// What became of one attempt to deliver something (a webhook call today; the mail
// deliveries later), as the retry logic needs it: delivered, worth trying again, or
// failed for good. The classification is a pure function of the attempt's result.
#pragma once

#include <string>

enum class DeliveryOutcome { kDelivered, kTemporary, kPermanent };

// How an HTTP call ended, with the transport's own text for everything but an answer.
struct HttpResult {
  enum class Transport {
    kAnswered,          // the server answered with `status`
    kTimedOut,          // no complete answer within the timeout
    kConnectionFailed,  // no connection, TLS refused, connection lost mid-call
    kUnavailable,       // the HTTP library could not be loaded or set up
    kRefused,           // never sent: the address is not allowed or cannot be used
  };
  Transport transport = Transport::kRefused;
  long status = 0;  // the HTTP status when answered
  // The answer's status line ("HTTP/1.1 503 Service Unavailable"; HTTP/2 sends no
  // reason phrase), without its line end; empty when not answered.
  std::string status_line;
  std::string error;  // why, when not answered
  // The answer's body, when the call asked to keep it (HttpPost::max_answer_bytes).
  std::string body;
  bool body_too_large = false;
};

// 2xx: delivered. 429, 5xx, a timeout, a failed connection and a library that
// could not be loaded: temporary. Every other answer (1xx, 3xx, since redirects are
// not followed, other 4xx) and a refused address: permanent.
DeliveryOutcome classify_http_result(const HttpResult& result);

// What an attempt keeps of the call (reply_text.h): the status line of the
// answer ("HTTP <status>" when there was none), else why it was not answered.
std::string http_reply(const HttpResult& result);

// "delivered", "temporary" or "permanent".
const char* delivery_outcome_name(DeliveryOutcome outcome);
