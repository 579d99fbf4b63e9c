#include "velloc/mail/byte_stream.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "velloc/mail/openssl_library.h"

namespace {

class PlainStream : public ByteStream {
 public:
  explicit PlainStream(int fd) : fd_(fd) {}
  long send_some(const char* bytes, std::size_t count) override {
    for (;;) {
      ssize_t sent = send(fd_, bytes, count, MSG_NOSIGNAL);
      if (sent >= 0 || errno != EINTR) return static_cast<long>(sent);
    }
  }
  long receive_some(char* bytes, std::size_t count) override {
    for (;;) {
      ssize_t received = recv(fd_, bytes, count, 0);
      if (received >= 0 || errno != EINTR) return static_cast<long>(received);
    }
  }

 private:
  int fd_;
};

// The deleters carry the library they came from: OpenSSL is loaded by the first
// TLS connection of the process and stays loaded until it ends.
struct ContextFree {
  const OpenSslApi* tls;
  void operator()(SSL_CTX* context) const { tls->SSL_CTX_free(context); }
};
struct SslFree {
  const OpenSslApi* tls;
  void operator()(SSL* ssl) const { tls->SSL_free(ssl); }
};
using ContextPointer = std::unique_ptr<SSL_CTX, ContextFree>;
using SslPointer = std::unique_ptr<SSL, SslFree>;

class TlsStream : public ByteStream {
 public:
  TlsStream(const OpenSslApi& tls, ContextPointer context, SslPointer ssl)
      : tls_(tls), context_(std::move(context)), ssl_(std::move(ssl)) {}
  long send_some(const char* bytes, std::size_t count) override {
    std::size_t written = 0;
    if (tls_.SSL_write_ex(ssl_.get(), bytes, count, &written) != 1) return -1;
    return static_cast<long>(written);
  }
  long receive_some(char* bytes, std::size_t count) override {
    std::size_t read = 0;
    if (tls_.SSL_read_ex(ssl_.get(), bytes, count, &read) == 1) return static_cast<long>(read);
    int error = tls_.SSL_get_error(ssl_.get(), 0);
    tls_.ERR_clear_error();
    bool closed = error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0);
    return closed ? 0 : -1;
  }
  void close() override {
    tls_.SSL_shutdown(ssl_.get());
    tls_.ERR_clear_error();
  }
  bool resumed() const override { return tls_.SSL_session_reused(ssl_.get()) == 1; }
  std::shared_ptr<void> session() const override {
    SSL_SESSION* session = tls_.SSL_get1_session(ssl_.get());
    if (session == nullptr) return nullptr;
    const OpenSslApi* tls = &tls_;
    return std::shared_ptr<void>(
        session, [tls](void* kept) { tls->SSL_SESSION_free(static_cast<SSL_SESSION*>(kept)); });
  }

 private:
  const OpenSslApi& tls_;
  ContextPointer context_;
  SslPointer ssl_;
};

std::string openssl_reason(const OpenSslApi& tls) {
  unsigned long error = tls.ERR_get_error();
  tls.ERR_clear_error();
  if (error == 0) return errno != 0 ? std::strerror(errno) : "connection closed";
  char text[256];
  tls.ERR_error_string_n(error, text, sizeof text);
  return text;
}

// A write to a socket the peer has closed must fail, not end the program:
// OpenSSL writes without MSG_NOSIGNAL, so this thread does not take SIGPIPE.
void block_broken_pipe_signal() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool set_trust(const OpenSslApi& tls, SSL_CTX* context, const TlsOptions& options,
               std::string* reason) {
  if (!options.verify) {
    tls.SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    return true;
  }
  bool loaded = options.ca_file.empty() ? tls.SSL_CTX_set_default_verify_paths(context) == 1
                                        : tls.SSL_CTX_load_verify_locations(
                                              context, options.ca_file.c_str(), nullptr) == 1;
  if (!loaded) {
    *reason = "cannot load trusted certificates: " + openssl_reason(tls);
    return false;
  }
  tls.SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  return true;
}

// The certificate must be for the host: an IPv4 address is checked against the
// addresses it names, a host name against its names (and is sent as SNI).
bool set_expected_host(const OpenSslApi& tls, SSL* ssl, const TlsOptions& options) {
  in_addr address;
  if (inet_pton(AF_INET, options.host.c_str(), &address) == 1)
    return !options.verify ||
           tls.X509_VERIFY_PARAM_set1_ip_asc(tls.SSL_get0_param(ssl), options.host.c_str()) == 1;
  if (tls.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char*>(options.host.c_str())) != 1)
    return false;
  return !options.verify || tls.SSL_set1_host(ssl, options.host.c_str()) == 1;
}

std::string handshake_reason(const OpenSslApi& tls, SSL* ssl) {
  long verify_result = tls.SSL_get_verify_result(ssl);
  if (verify_result != X509_V_OK) {
    tls.ERR_clear_error();
    return std::string("certificate verify failed: ") +
           tls.X509_verify_cert_error_string(verify_result);
  }
  return openssl_reason(tls);
}

}  // namespace

std::unique_ptr<ByteStream> make_plain_stream(int fd) { return std::make_unique<PlainStream>(fd); }

std::unique_ptr<ByteStream> start_tls_stream(int fd, const TlsOptions& options,
                                             std::string* reason) {
  std::string load_error;
  const OpenSslApi* api = openssl_api(&load_error);
  if (api == nullptr) {
    *reason = "OpenSSL not available (" + load_error + ")";
    return nullptr;
  }
  const OpenSslApi& tls = *api;
  block_broken_pipe_signal();
  tls.ERR_clear_error();
  errno = 0;
  ContextPointer context(tls.SSL_CTX_new(tls.TLS_client_method()), ContextFree{&tls});
  if (!context) {
    *reason = openssl_reason(tls);
    return nullptr;
  }
  tls.SSL_CTX_ctrl(context.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // The session (with its TLS 1.3 ticket) is kept by the caller, not in the context.
  tls.SSL_CTX_ctrl(context.get(), SSL_CTRL_SET_SESS_CACHE_MODE,
                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
  if (!set_trust(tls, context.get(), options, reason)) return nullptr;
  SslPointer ssl(tls.SSL_new(context.get()), SslFree{&tls});
  if (!ssl || tls.SSL_set_fd(ssl.get(), fd) != 1 || !set_expected_host(tls, ssl.get(), options)) {
    *reason = openssl_reason(tls);
    return nullptr;
  }
  if (options.resume)
    tls.SSL_set_session(ssl.get(), static_cast<SSL_SESSION*>(options.resume.get()));
  if (tls.SSL_connect(ssl.get()) != 1) {
    *reason = handshake_reason(tls, ssl.get());
    return nullptr;
  }
  return std::make_unique<TlsStream>(tls, std::move(context), std::move(ssl));
}
