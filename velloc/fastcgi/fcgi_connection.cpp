#include "velloc/fastcgi/fcgi_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = FcgiConnection::Clock;

// Answer bytes gathered before they go out as one FCGI_STDOUT record.
constexpr std::size_t kAnswerChunk = 16 * 1024;
constexpr std::size_t kBeginBodySize = 8;

// True when `content` of an FCGI_BEGIN_REQUEST asks for the responder role.
bool begins_responder(const std::string& content) {
  return content.size() >= kBeginBodySize &&
         ((static_cast<unsigned char>(content[0]) << 8) | static_cast<unsigned char>(content[1])) ==
             fcgi::kResponder;
}

// Waits until `fd` is ready for `events` or `deadline` passes; false on the latter.
bool wait_until(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watched{fd, events, 0};
    int ready = poll(&watched, 1, static_cast<int>(std::min<decltype(left)>(left, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

FcgiConnection::FcgiConnection(int fd, const ConnectionLimits& limits)
    : fd_(fd), limits_(limits), waiting_since_(Clock::now()) {}

FcgiConnection::~FcgiConnection() { close(fd_); }

bool FcgiConnection::read_bytes(void* target, std::size_t count, Clock::time_point deadline) {
  auto* bytes = static_cast<char*>(target);
  while (count > 0 && !input_closed_) {
    if (!wait_until(fd_, POLLIN, deadline)) {
      input_closed_ = true;
      break;
    }
    ssize_t got = read(fd_, bytes, count);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      input_closed_ = true;
      break;
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
  return !input_closed_;
}

bool FcgiConnection::write_bytes(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && !output_closed_) {
    if (!wait_until(fd_, POLLOUT, Clock::now() + limits_.write)) {
      output_closed_ = true;
      break;
    }
    ssize_t put = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (put <= 0) {
      output_closed_ = true;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  return !output_closed_;
}

bool FcgiConnection::read_record(fcgi::RecordHeader& header, std::string& content,
                                 Clock::time_point deadline) {
  unsigned char bytes[fcgi::kHeaderSize];
  if (!read_bytes(bytes, sizeof(bytes), deadline)) return false;
  header = fcgi::decode_header(bytes);
  if (header.version != fcgi::kVersion) {
    input_closed_ = true;
    return false;
  }
  content.resize(header.content_length + header.padding_length);
  if (!read_bytes(content.data(), content.size(), deadline)) return false;
  content.resize(header.content_length);
  return true;
}

bool FcgiConnection::answer_other_record(const fcgi::RecordHeader& header,
                                         const std::string& content) {
  if (header.request_id == 0) {
    return write_bytes(header.type == fcgi::kGetValues ? fcgi::get_values_result(content)
                                                       : fcgi::unknown_type_record(header.type));
  }
  if (header.type != fcgi::kBeginRequest) return true;  // of no request of this connection
  bool busy = request_id_ != 0;
  if (!busy && begins_responder(content)) return true;
  return write_bytes(fcgi::end_request_record(header.request_id,
                                              busy ? fcgi::kCantMultiplex : fcgi::kUnknownRole));
}

bool FcgiConnection::read_parameters(fcgi::ParamsDecoder& decoder) {
  Clock::time_point deadline = waiting_since_ + limits_.request;
  fcgi::RecordHeader header;
  std::string content;
  while (read_record(header, content, deadline)) {
    bool own = request_id_ != 0 && header.request_id == request_id_;
    if (!own && !answer_other_record(header, content)) return false;
    if (!own && header.type == fcgi::kBeginRequest && request_id_ == 0 &&
        begins_responder(content)) {
      request_id_ = header.request_id;
      keep_ = (static_cast<unsigned char>(content[2]) & fcgi::kKeepConnection) != 0;
    }
    if (!own) continue;
    if (header.type == fcgi::kAbortRequest) {
      write_bytes(fcgi::end_request_record(request_id_, fcgi::kRequestComplete));
      return false;
    }
    if (header.type != fcgi::kParams) continue;
    if (content.empty()) return decoder.complete();
    if (!decoder.feed(content)) return true;
  }
  return false;
}

void FcgiConnection::drop_rest_of_request() {
  char dropped[4096];
  while (read_body(dropped, sizeof(dropped)) > 0) {
  }
}

FcgiConnection::Start FcgiConnection::read_request() {
  request_id_ = 0;
  keep_ = false;
  body_ended_ = false;
  body_.clear();
  body_offset_ = 0;
  parameters_.clear();
  environment_.assign(1, nullptr);
  if (input_closed_ || output_closed_ || !wait_until(fd_, POLLIN, idle_deadline()))
    return Start::kGone;
  fcgi::ParamsDecoder decoder(limits_.max_param_bytes, limits_.max_params_bytes);
  if (!read_parameters(decoder)) {
    input_closed_ = true;
    return Start::kGone;
  }
  if (decoder.refused()) {
    keep_ = false;
    drop_rest_of_request();
    return Start::kParametersRefused;
  }
  parameters_ = decoder.entries();
  environment_.clear();
  for (const std::string& entry : parameters_) environment_.push_back(entry.c_str());
  environment_.push_back(nullptr);
  return Start::kRequest;
}

std::size_t FcgiConnection::read_body(char* target, std::size_t count) {
  Clock::time_point deadline = waiting_since_ + limits_.request;
  fcgi::RecordHeader header;
  while (body_offset_ == body_.size()) {
    if (body_ended_ || input_closed_ || !read_record(header, body_, deadline)) {
      body_ended_ = true;
      body_.clear();
      body_offset_ = 0;
      return 0;
    }
    body_offset_ = 0;
    bool own = header.request_id == request_id_;
    if (!own && !answer_other_record(header, body_)) input_closed_ = true;
    bool abort = own && header.type == fcgi::kAbortRequest;
    body_ended_ = abort || (own && header.type == fcgi::kStdin && body_.empty());
    keep_ = keep_ && !abort;
    if (!own || header.type != fcgi::kStdin) body_.clear();
  }
  std::size_t taken = std::min(count, body_.size() - body_offset_);
  std::memcpy(target, body_.data() + body_offset_, taken);
  body_offset_ += taken;
  return taken;
}

bool FcgiConnection::flush_answer() {
  for (std::size_t start = 0; start < answer_.size(); start += fcgi::kMaxContent) {
    std::string_view chunk = std::string_view(answer_).substr(start, fcgi::kMaxContent);
    if (!write_bytes(fcgi::encode_record(fcgi::kStdout, request_id_, chunk))) break;
  }
  answer_.clear();
  return !output_closed_;
}

bool FcgiConnection::write_answer(const char* source, std::size_t count) {
  if (output_closed_) return false;
  answer_.append(source, count);
  return answer_.size() < kAnswerChunk || flush_answer();
}

bool FcgiConnection::finish() {
  if (flush_answer()) {
    write_bytes(fcgi::encode_record(fcgi::kStdout, request_id_, {}) +
                fcgi::end_request_record(request_id_, fcgi::kRequestComplete));
  }
  // The rest of a body the answer did not need is read and dropped (within the
  // request's time): a socket closed on unread bytes resets the connection, and the
  // web server may then drop the answer; a kept one would take them for records.
  drop_rest_of_request();
  waiting_since_ = Clock::now();
  return keep_ && !input_closed_ && !output_closed_;
}
