#include "velloc/doctor/dkim_key_check.h"

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/path_map.h"
#include "velloc/doctor/crypto_library.h"

namespace {

constexpr int kMinimumRsaBits = 2048;
constexpr std::string_view kSignedText =
    "velloc doctor: a DKIM signature made and verified here\r\n";
using Bytes = std::vector<unsigned char>;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The bytes of base64 text; nullopt-like empty result with *ok false when malformed.
Bytes decode_base64(std::string_view text, bool* ok) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes bytes;
  unsigned buffer = 0;
  int bits = 0;
  *ok = true;
  for (char c : text) {
    if (c == '=') break;
    std::size_t value = kAlphabet.find(c);
    if (value == std::string_view::npos) {
      *ok = false;
      return {};
    }
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<unsigned char>((buffer >> bits) & 0xff));
    }
  }
  return bytes;
}

// The owner of an OpenSSL key or digest context.
struct KeyFree {
  const CryptoApi* api;
  void operator()(EVP_PKEY* key) const { api->EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key read_private_key(const CryptoApi& api, const std::string& path, std::string* why) {
  std::ifstream file(platform::native_path(path), std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) {
    *why = "cannot read " + path;
    return Key(nullptr, {&api});
  }
  std::string pem = text.str();
  BIO* bio = api.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = bio ? api.PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  if (bio) api.BIO_free(bio);
  if (key == nullptr) *why = path + " holds no PEM private key";
  return Key(key, {&api});
}

// The published key as OpenSSL's: a SubjectPublicKeyInfo for RSA, the 32 raw bytes
// for Ed25519.
Key published_key(const CryptoApi& api, const Bytes& bytes, bool ed25519) {
  if (ed25519)
    return Key(
        api.EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes.data(), bytes.size()),
        {&api});
  const unsigned char* start = bytes.data();
  return Key(api.d2i_PUBKEY(nullptr, &start, static_cast<long>(bytes.size())), {&api});
}

// The public half of a key, in the form of its DNS record.
Bytes public_bytes(const CryptoApi& api, EVP_PKEY* key, bool ed25519) {
  Bytes bytes;
  if (ed25519) {
    std::size_t size = 0;
    if (api.EVP_PKEY_get_raw_public_key(key, nullptr, &size) != 1) return bytes;
    bytes.resize(size);
    if (api.EVP_PKEY_get_raw_public_key(key, bytes.data(), &size) != 1) bytes.clear();
    return bytes;
  }
  unsigned char* der = nullptr;
  int size = api.i2d_PUBKEY(key, &der);
  if (size > 0) bytes.assign(der, der + size);
  if (der) api.CRYPTO_free(der, __FILE__, __LINE__);
  return bytes;
}

// Signs kSignedText with `private_key` and verifies it with `public_key`.
bool signature_verifies(const CryptoApi& api, EVP_PKEY* private_key, EVP_PKEY* public_key,
                        bool ed25519) {
  const EVP_MD* digest = ed25519 ? nullptr : api.EVP_sha256();
  const auto* data = reinterpret_cast<const unsigned char*>(kSignedText.data());
  EVP_MD_CTX* context = api.EVP_MD_CTX_new();
  std::size_t size = 0;
  Bytes signature;
  bool signed_ok = context &&
                   api.EVP_DigestSignInit(context, nullptr, digest, nullptr, private_key) == 1 &&
                   api.EVP_DigestSign(context, nullptr, &size, data, kSignedText.size()) == 1;
  if (signed_ok) {
    signature.resize(size);
    signed_ok = api.EVP_DigestSign(context, signature.data(), &size, data, kSignedText.size()) == 1;
    signature.resize(size);
  }
  api.EVP_MD_CTX_free(context);
  if (!signed_ok) return false;
  context = api.EVP_MD_CTX_new();
  bool verified =
      context && api.EVP_DigestVerifyInit(context, nullptr, digest, nullptr, public_key) == 1 &&
      api.EVP_DigestVerify(context, signature.data(), signature.size(), data, kSignedText.size()) ==
          1;
  api.EVP_MD_CTX_free(context);
  return verified;
}

DoctorVerdict fail(std::string reason) {
  return {"dkim", DoctorVerdict::Status::kFail, std::move(reason)};
}

// The record's key, or a verdict on why there is none to compare.
std::optional<DoctorVerdict> record_problem(const DnsAnswer& answer, const std::string& name,
                                            bool ed25519, std::string* p) {
  if (answer.status == DnsAnswer::Status::kFailed)
    return fail("the lookup of " + name + " failed (" + answer.error + ")");
  const std::string* found = nullptr;
  for (const std::string& record : answer.records)
    if (record.find("p=") != std::string::npos) found = &record;
  if (found == nullptr)
    return fail("no DKIM key is published at " + name + ": publish TXT \"v=DKIM1; k=" +
                (ed25519 ? "ed25519" : "rsa") + "; p=<the public key>\"");
  std::map<std::string, std::string> tags = record_tags(*found);
  std::string kind = tags.count("k") ? tags["k"] : "rsa";
  if (kind != (ed25519 ? "ed25519" : "rsa"))
    return fail(name + " publishes a k=" + kind + " key, but the key file is " +
                (ed25519 ? "Ed25519" : "RSA"));
  *p = tags["p"];
  if (p->empty()) return fail(name + " publishes an empty p=: the key is revoked");
  return std::nullopt;
}

}  // namespace

std::map<std::string, std::string> record_tags(std::string_view record) {
  std::map<std::string, std::string> tags;
  std::size_t start = 0;
  while (start <= record.size()) {
    std::size_t end = record.find(';', start);
    std::string_view piece =
        record.substr(start, end == std::string_view::npos ? end : end - start);
    std::size_t equals = piece.find('=');
    if (equals != std::string_view::npos) {
      std::string name, value;
      for (char c : piece.substr(0, equals))
        if (!is_blank(c)) name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      for (char c : piece.substr(equals + 1))
        if (!is_blank(c)) value += c;
      tags.emplace(std::move(name), std::move(value));
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return tags;
}

DoctorVerdict check_dkim_key(DnsLookup& dns, const std::string& domain, const DkimKeySetting& key) {
  std::string name = key.selector + "._domainkey." + domain;
  std::string shown = "selector " + key.selector + " (" + (key.ed25519 ? "Ed25519" : "RSA") + ")";
  std::string error;
  const CryptoApi* api = crypto_api(&error);
  if (api == nullptr) return fail("OpenSSL cannot be loaded: " + error);
  struct stat status;
  if (stat(platform::native_path(key.key_file).c_str(), &status) == 0 &&
      (status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return fail(shown + ": " + key.key_file + " may be read by others: chmod 600 it");
  Key private_key = read_private_key(*api, key.key_file, &error);
  if (!private_key) return fail(shown + ": " + error);
  bool is_ed25519 = api->EVP_PKEY_get_base_id(private_key.get()) == EVP_PKEY_ED25519;
  if (is_ed25519 != key.ed25519)
    return fail(shown + ": " + key.key_file + " holds " +
                (is_ed25519 ? "an Ed25519" : "no Ed25519") + " key");
  int bits = api->EVP_PKEY_get_bits(private_key.get());
  if (!key.ed25519 && bits < kMinimumRsaBits)
    return fail(shown + ": the key has " + std::to_string(bits) +
                " bits; use one of at least 2048 (openssl genpkey -algorithm RSA "
                "-pkeyopt rsa_keygen_bits:2048)");
  std::string p;
  if (std::optional<DoctorVerdict> problem =
          record_problem(dns.ask(name, DnsType::kTxt), name, key.ed25519, &p))
    return *problem;
  bool ok = false;
  Bytes published = decode_base64(p, &ok);
  Key public_key = ok ? published_key(*api, published, key.ed25519) : Key(nullptr, {api});
  if (!public_key) return fail(name + ": p= is no " + (key.ed25519 ? "Ed25519" : "RSA") + " key");
  if (public_bytes(*api, private_key.get(), key.ed25519) !=
      public_bytes(*api, public_key.get(), key.ed25519))
    return fail(shown + ": the key at " + name + " is not the public key of " + key.key_file +
                ": publish the key file's public key there (or name the right key file)");
  if (!signature_verifies(*api, private_key.get(), public_key.get(), key.ed25519))
    return fail(shown + ": a signature made with " + key.key_file +
                " does not verify with the key at " + name);
  std::string size = key.ed25519 ? "" : ", " + std::to_string(bits) + " bits";
  return {"dkim", DoctorVerdict::Status::kPass,
          shown + size + ": the key at " + name + " matches " + key.key_file +
              ", and a signature made with it verifies"};
}
