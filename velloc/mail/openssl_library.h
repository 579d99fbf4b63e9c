// OpenSSL, loaded when a run first opens a TLS connection or signs a webhook call rather
// than at start-up, so that a site without either pays nothing for it. Every OpenSSL call of the
// program goes through the table below, whose members carry the names of the functions.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

struct OpenSslApi {
  decltype(&::TLS_client_method) TLS_client_method;
  decltype(&::SSL_CTX_new) SSL_CTX_new;
  decltype(&::SSL_CTX_free) SSL_CTX_free;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl;
  decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify;
  decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths;
  decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations;
  decltype(&::SSL_new) SSL_new;
  decltype(&::SSL_free) SSL_free;
  decltype(&::SSL_ctrl) SSL_ctrl;
  decltype(&::SSL_set_fd) SSL_set_fd;
  decltype(&::SSL_set1_host) SSL_set1_host;
  decltype(&::SSL_get0_param) SSL_get0_param;
  decltype(&::SSL_connect) SSL_connect;
  decltype(&::SSL_read_ex) SSL_read_ex;
  decltype(&::SSL_write_ex) SSL_write_ex;
  decltype(&::SSL_shutdown) SSL_shutdown;
  decltype(&::SSL_get_error) SSL_get_error;
  decltype(&::SSL_get_verify_result) SSL_get_verify_result;
  decltype(&::SSL_get1_session) SSL_get1_session;
  decltype(&::SSL_set_session) SSL_set_session;
  decltype(&::SSL_session_reused) SSL_session_reused;
  decltype(&::SSL_SESSION_free) SSL_SESSION_free;
  decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc;
  decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string;
  decltype(&::ERR_get_error) ERR_get_error;
  decltype(&::ERR_clear_error) ERR_clear_error;
  decltype(&::ERR_error_string_n) ERR_error_string_n;
  decltype(&::EVP_sha256) EVP_sha256;
  decltype(&::HMAC) HMAC;
  decltype(&::BIO_new_mem_buf) BIO_new_mem_buf;
  decltype(&::BIO_free) BIO_free;
  decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey;
  decltype(&::EVP_PKEY_get_base_id) EVP_PKEY_get_base_id;
  decltype(&::EVP_PKEY_get_bits) EVP_PKEY_get_bits;
  decltype(&::EVP_PKEY_free) EVP_PKEY_free;
};

// The library's functions, loaded once per process and kept until it ends. Null when
// libssl.so.3 cannot be loaded or lacks one of them; `error` (when given) then
// receives the loader's text, on this and every later call.
const OpenSslApi* openssl_api(std::string* error);
