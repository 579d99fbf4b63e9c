// One HTTP POST through libcurl (loaded on first use): the body with its content
// type and further header lines, to one address, within a timeout, TLS verified
// against the system's trust store or a named CA bundle, redirects not followed,
// no proxy. The answer's body is dropped, or kept up to a bound for a caller that
// reads it. Blocks until the call ends.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "velloc/webhook/delivery_outcome.h"

struct HttpPost {
  std::string url;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // values without line ends
  int timeout_seconds = 10;  // for the whole call, connection included
  std::string ca_file;       // empty: the system's trust store
  bool allow_plain = false;  // http as well as https
  // 0: the answer's body is dropped. Otherwise it is kept in HttpResult::body up
  // to this many bytes; a longer one ends the call, answered, with
  // body_too_large set and no body.
  std::size_t max_answer_bytes = 0;
};

HttpResult post_http(const HttpPost& post);
