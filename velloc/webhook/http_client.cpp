#include "velloc/webhook/http_client.h"

#include <memory>
#include <string_view>

#include "velloc/webhook/curl_library.h"

namespace {

constexpr long kMillisecondsPerSecond = 1000;
constexpr char kUserAgent[] = "velloc/1.0";
// Bytes of a status line kept; the attempt keeps fewer (reply_text.h).
constexpr std::size_t kMaxStatusLine = 1024;

struct EasyHandle {
  const CurlApi& curl;
  CURL* handle;
  curl_slist* headers = nullptr;
  char error[CURL_ERROR_SIZE] = {};

  EasyHandle(const CurlApi& api) : curl(api), handle(api.curl_easy_init()) {}
  ~EasyHandle() {
    if (handle) curl.curl_easy_cleanup(handle);
    curl.curl_slist_free_all(headers);
  }
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;

  template <typename Value>
  bool set(CURLoption option, Value value) {
    return curl.curl_easy_setopt(handle, option, value) == CURLE_OK;
  }
  bool add_header(const std::string& line) {
    curl_slist* longer = curl.curl_slist_append(headers, line.c_str());
    if (longer) headers = longer;
    return longer != nullptr;
  }
};

// The answer's body, when not needed, must not reach standard output either,
// where the library writes it unless told otherwise.
size_t drop_body(char*, size_t size, size_t count, void*) { return size * count; }

struct KeptBody {
  std::string text;
  std::size_t limit = 0;
  bool too_large = false;
};

// Returning less than was given ends the transfer, as soon as the bound is passed.
size_t keep_body(char* data, size_t size, size_t count, void* sink) {
  auto* kept = static_cast<KeptBody*>(sink);
  std::size_t length = size * count;
  if (length > kept->limit - kept->text.size()) {
    kept->too_large = true;
    return 0;
  }
  kept->text.append(data, length);
  return length;
}

// Keeps the status line of each answer the call gets (the last one counts),
// without its line end; the header lines are not needed.
size_t keep_status_line(char* data, size_t size, size_t count, void* sink) {
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    while (line.ends_with('\n') || line.ends_with('\r') || line.ends_with(' '))
      line.remove_suffix(1);
    *static_cast<std::string*>(sink) = line.substr(0, kMaxStatusLine);
  }
  return size * count;
}

HttpResult not_answered(HttpResult::Transport transport, std::string error) {
  HttpResult result;
  result.transport = transport;
  result.error = std::move(error);
  return result;
}

// The one place where libcurl's codes become the program's own.
HttpResult::Transport transport_of(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return HttpResult::Transport::kTimedOut;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return HttpResult::Transport::kRefused;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_UNKNOWN_OPTION:
      return HttpResult::Transport::kUnavailable;
    default:
      // No name, no connection, TLS refused, connection lost: worth another try.
      return HttpResult::Transport::kConnectionFailed;
  }
}

bool set_headers(EasyHandle& easy, const HttpPost& post) {
  // No "Expect: 100-continue" wait for a large body.
  bool ok = easy.add_header("Content-Type: " + post.content_type) && easy.add_header("Expect:");
  for (const auto& [name, value] : post.headers) ok = ok && easy.add_header(name + ": " + value);
  return ok && easy.set(CURLOPT_HTTPHEADER, easy.headers);
}

bool set_body_sink(EasyHandle& easy, KeptBody& kept) {
  if (kept.limit == 0) return easy.set(CURLOPT_WRITEFUNCTION, &drop_body);
  return easy.set(CURLOPT_WRITEFUNCTION, &keep_body) &&
         easy.set(CURLOPT_WRITEDATA, static_cast<void*>(&kept));
}

bool set_options(EasyHandle& easy, const HttpPost& post, KeptBody& kept, std::string& status_line) {
  long timeout = post.timeout_seconds * kMillisecondsPerSecond;
  bool ok = easy.set(CURLOPT_ERRORBUFFER, easy.error) && easy.set(CURLOPT_NOSIGNAL, 1L) &&
            easy.set(CURLOPT_URL, post.url.c_str()) &&
            easy.set(CURLOPT_PROTOCOLS_STR, post.allow_plain ? "http,https" : "https") &&
            easy.set(CURLOPT_FOLLOWLOCATION, 0L) && easy.set(CURLOPT_PROXY, "") &&
            easy.set(CURLOPT_TIMEOUT_MS, timeout) && easy.set(CURLOPT_CONNECTTIMEOUT_MS, timeout) &&
            easy.set(CURLOPT_SSL_VERIFYPEER, 1L) && easy.set(CURLOPT_SSL_VERIFYHOST, 2L) &&
            easy.set(CURLOPT_USERAGENT, kUserAgent) && easy.set(CURLOPT_POST, 1L) &&
            easy.set(CURLOPT_POSTFIELDS, post.body.data()) &&
            easy.set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size())) &&
            set_body_sink(easy, kept) && set_headers(easy, post) &&
            easy.set(CURLOPT_HEADERFUNCTION, &keep_status_line) &&
            easy.set(CURLOPT_HEADERDATA, static_cast<void*>(&status_line));
  if (ok && !post.ca_file.empty()) ok = easy.set(CURLOPT_CAINFO, post.ca_file.c_str());
  return ok;
}

}  // namespace

HttpResult post_http(const HttpPost& post) {
  std::string error;
  const CurlApi* curl = curl_api(&error);
  if (!curl) return not_answered(HttpResult::Transport::kUnavailable, error);
  EasyHandle easy(*curl);
  if (!easy.handle) return not_answered(HttpResult::Transport::kUnavailable, "no libcurl handle");
  KeptBody kept;
  kept.limit = post.max_answer_bytes;
  std::string status_line;
  if (!set_options(easy, post, kept, status_line))
    return not_answered(HttpResult::Transport::kUnavailable, "libcurl refused an option");
  CURLcode code = curl->curl_easy_perform(easy.handle);
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && kept.too_large))
    return not_answered(transport_of(code),
                        easy.error[0] ? easy.error : curl->curl_easy_strerror(code));
  HttpResult result;
  result.transport = HttpResult::Transport::kAnswered;
  curl->curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &result.status);
  result.status_line = std::move(status_line);
  result.body_too_large = kept.too_large;
  if (!kept.too_large) result.body = std::move(kept.text);
  return result;
}
