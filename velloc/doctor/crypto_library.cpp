#include "velloc/doctor/crypto_library.h"

#include "platform/shared_library.h"

namespace {

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

void find_functions(void* library, platform::LoadedLibrary<CryptoApi>& loaded) {
  VELLOC_FIND(BIO_new_mem_buf);
  VELLOC_FIND(BIO_free);
  VELLOC_FIND(PEM_read_bio_PrivateKey);
  VELLOC_FIND(EVP_PKEY_free);
  VELLOC_FIND(i2d_PUBKEY);
  VELLOC_FIND(d2i_PUBKEY);
  VELLOC_FIND(EVP_PKEY_get_raw_public_key);
  VELLOC_FIND(EVP_PKEY_new_raw_public_key);
  VELLOC_FIND(EVP_PKEY_get_base_id);
  VELLOC_FIND(EVP_PKEY_get_bits);
  VELLOC_FIND(EVP_MD_CTX_new);
  VELLOC_FIND(EVP_MD_CTX_free);
  VELLOC_FIND(EVP_DigestSignInit);
  VELLOC_FIND(EVP_DigestSign);
  VELLOC_FIND(EVP_DigestVerifyInit);
  VELLOC_FIND(EVP_DigestVerify);
  VELLOC_FIND(EVP_sha256);
  VELLOC_FIND(CRYPTO_free);
}

#undef VELLOC_FIND

}  // namespace

const CryptoApi* crypto_api(std::string* error) {
  static const platform::LoadedLibrary<CryptoApi> loaded =
      platform::load_library<CryptoApi>("libcrypto.so.3", find_functions);
  return platform::usable_api(loaded, error);
}
