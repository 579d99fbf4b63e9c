#include "velloc/mail/openssl_library.h"

#include "platform/shared_library.h"

namespace {

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

void find_functions(void* library, platform::LoadedLibrary<OpenSslApi>& loaded) {
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
}

#undef VELLOC_FIND

}  // namespace

const OpenSslApi* openssl_api(std::string* error) {
  static const platform::LoadedLibrary<OpenSslApi> loaded =
      platform::load_library<OpenSslApi>("libssl.so.3", find_functions);
  return platform::usable_api(loaded, error);
}
