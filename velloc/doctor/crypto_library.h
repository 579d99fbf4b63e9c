// The key and signature functions of OpenSSL's libcrypto that `velloc doctor` uses to
// compare a DKIM key file with its DNS record, loaded when the check first runs rather
// than at start-up. Every call goes through the table, whose members carry the names.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

struct CryptoApi {
  decltype(&::BIO_new_mem_buf) BIO_new_mem_buf;
  decltype(&::BIO_free) BIO_free;
  decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey;
  decltype(&::EVP_PKEY_free) EVP_PKEY_free;
  decltype(&::i2d_PUBKEY) i2d_PUBKEY;
  decltype(&::d2i_PUBKEY) d2i_PUBKEY;
  decltype(&::EVP_PKEY_get_raw_public_key) EVP_PKEY_get_raw_public_key;
  decltype(&::EVP_PKEY_new_raw_public_key) EVP_PKEY_new_raw_public_key;
  decltype(&::EVP_PKEY_get_base_id) EVP_PKEY_get_base_id;
  decltype(&::EVP_PKEY_get_bits) EVP_PKEY_get_bits;
  decltype(&::EVP_MD_CTX_new) EVP_MD_CTX_new;
  decltype(&::EVP_MD_CTX_free) EVP_MD_CTX_free;
  decltype(&::EVP_DigestSignInit) EVP_DigestSignInit;
  decltype(&::EVP_DigestSign) EVP_DigestSign;
  decltype(&::EVP_DigestVerifyInit) EVP_DigestVerifyInit;
  decltype(&::EVP_DigestVerify) EVP_DigestVerify;
  decltype(&::EVP_sha256) EVP_sha256;
  decltype(&::CRYPTO_free) CRYPTO_free;
};

// The library's functions, loaded once per process and kept until it ends. Null when
// libcrypto.so.3 cannot be loaded or lacks one of them; `error` then gets the reason.
const CryptoApi* crypto_api(std::string* error);
