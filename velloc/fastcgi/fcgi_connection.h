// One connection from the web server, speaking FastCGI as a responder: the request's
// parameters and body are read from it within time limits, its answer written to it.
// The connection owns its socket and closes it when it goes. One request at a time;
// a client that stalls, hangs up or breaks the protocol ends the request, never the
// worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velloc/fastcgi/fcgi_records.h"

struct ConnectionLimits {
  // How long a connection may wait for a request to start (after it was accepted, or
  // after the previous answer) before it is closed.
  std::chrono::milliseconds idle{5000};
  // How long the whole request, parameters and body, may take to arrive, counted from
  // the same moment.
  std::chrono::milliseconds request{30000};
  // How long one write of the answer may stall.
  std::chrono::milliseconds write{30000};
  std::size_t max_param_bytes = 128 * 1024;    // one name=value
  std::size_t max_params_bytes = 1024 * 1024;  // all of them together
};

class FcgiConnection {
 public:
  using Clock = std::chrono::steady_clock;

  FcgiConnection(int fd, const ConnectionLimits& limits);
  ~FcgiConnection();
  FcgiConnection(const FcgiConnection&) = delete;
  FcgiConnection& operator=(const FcgiConnection&) = delete;

  int fd() const { return fd_; }
  // When the wait for the next request began, and the moment it is given up.
  Clock::time_point idle_deadline() const { return waiting_since_ + limits_.idle; }

  enum class Start {
    kRequest,            // parameters() hold the request's; the body follows
    kParametersRefused,  // over the bounds; the rest of the request was read and dropped
    kGone,               // no request: the client closed, stalled or broke the protocol
  };
  // Reads the next request up to its body, answering management records on the way.
  Start read_request();
  // "NAME=value" entries, and the same as a NULL-terminated array valid while they are.
  const std::vector<std::string>& parameters() const { return parameters_; }
  const char* const* environment() const { return environment_.data(); }

  // Up to `count` bytes of the body; 0 at its end, and when the request was aborted,
  // the client hung up or the request's time ran out.
  std::size_t read_body(char* target, std::size_t count);
  // Adds to the answer; false once the client no longer takes it.
  bool write_answer(const char* source, std::size_t count);
  // Ends the answer and reads what is left of the request. True when the connection
  // stays open for the next request.
  bool finish();

 private:
  bool read_bytes(void* target, std::size_t count, Clock::time_point deadline);
  bool write_bytes(const std::string& bytes);
  bool flush_answer();
  // The next record's header and content; false when none arrives in time.
  bool read_record(fcgi::RecordHeader& header, std::string& content, Clock::time_point deadline);
  // Answers a record that is not the current request's; false when it breaks the protocol.
  bool answer_other_record(const fcgi::RecordHeader& header, const std::string& content);
  bool read_parameters(fcgi::ParamsDecoder& decoder);
  void drop_rest_of_request();

  int fd_;
  ConnectionLimits limits_;
  Clock::time_point waiting_since_;
  std::uint16_t request_id_ = 0;
  bool keep_ = false;
  bool input_closed_ = false;   // nothing more can be read: hang-up, stall or broken protocol
  bool output_closed_ = false;  // nothing more can be written
  bool body_ended_ = false;     // the empty FCGI_STDIN record came, or the request ended otherwise
  std::string body_;            // the current FCGI_STDIN record's bytes not yet read
  std::size_t body_offset_ = 0;
  std::string answer_;  // FCGI_STDOUT bytes not yet written
  std::vector<std::string> parameters_;
  std::vector<const char*> environment_;
};
