#include "velloc/mail/openssl_library.h"

#include <dlfcn.h>

#include "platform/shared_library.h"

namespace {

constexpr const char* kLibrary = "libssl.so.3";

struct LoadedApi {
  OpenSslApi api{};
  std::string error;  // empty when loaded
};

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

LoadedApi load_api() {
  LoadedApi loaded;
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!library) {
    loaded.error = platform::loader_error();
    return loaded;
  }
  VELLOC_FIND(TLS_client_method);
  VELLOC_FIND(SSL_CTX_new);
  VELLOC_FIND(SSL_CTX_free);
  VELLOC_FIND(SSL_CTX_ctrl);
  VELLOC_FIND(SSL_CTX_set_verify);
  VELLOC_FIND(SSL_CTX_set_default_verify_paths);
  VELLOC_FIND(SSL_CTX_load_verify_locations);
  VELLOC_FIND(SSL_new);
  VELLOC_FIND(SSL_free);
  VELLOC_FIND(SSL_ctrl);
  VELLOC_FIND(SSL_set_fd);
  VELLOC_FIND(SSL_set1_host);
  VELLOC_FIND(SSL_get0_param);
  VELLOC_FIND(SSL_connect);
  VELLOC_FIND(SSL_read_ex);
  VELLOC_FIND(SSL_write_ex);
  VELLOC_FIND(SSL_shutdown);
  VELLOC_FIND(SSL_get_error);
  VELLOC_FIND(SSL_get_verify_result);
  VELLOC_FIND(SSL_get1_session);
  VELLOC_FIND(SSL_set_session);
  VELLOC_FIND(SSL_session_reused);
  VELLOC_FIND(SSL_SESSION_free);
  // libssl brings libcrypto along; these come from there.
  VELLOC_FIND(X509_VERIFY_PARAM_set1_ip_asc);
  VELLOC_FIND(X509_verify_cert_error_string);
  VELLOC_FIND(ERR_get_error);
  VELLOC_FIND(ERR_clear_error);
  VELLOC_FIND(ERR_error_string_n);
  VELLOC_FIND(EVP_sha256);
  VELLOC_FIND(HMAC);
  VELLOC_FIND(BIO_new_mem_buf);
  VELLOC_FIND(BIO_free);
  VELLOC_FIND(PEM_read_bio_PrivateKey);
  VELLOC_FIND(EVP_PKEY_get_base_id);
  VELLOC_FIND(EVP_PKEY_get_bits);
  VELLOC_FIND(EVP_PKEY_free);
  return loaded;
}

#undef VELLOC_FIND

}  // namespace

const OpenSslApi* openssl_api(std::string* error) {
  static const LoadedApi loaded = load_api();
  if (!loaded.error.empty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}
