#include "velloc/mail/dkim_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velloc/mail/openssl_library.h"

namespace {

// Far larger than any key file.
constexpr off_t kMaxKeyFileBytes = 64 * 1024;

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why the file of `info` may not hold a key; empty when it may.
std::string file_problem(const std::string& path, const struct stat& info) {
  const std::string name = "the DKIM key file " + path;
  if (!S_ISREG(info.st_mode)) return name + " is not a regular file";
  if (info.st_uid != geteuid())
    return name + " belongs to user " + std::to_string(info.st_uid) + ", not to velloc's user " +
           std::to_string(geteuid()) + ": change its owner";
  mode_t mode = info.st_mode & 07777;
  if (mode != 0600 && mode != 0400)
    return name + " may be read or changed by others (mode " + octal_mode(mode) +
           "): make it 0600 or 0400";
  if (info.st_size > kMaxKeyFileBytes) return name + " is too large to be a key";
  return "";
}

std::optional<std::string> read_file_text(int fd, off_t size) {
  std::string text(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t count = read(fd, text.data() + got, text.size() - got);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    got += static_cast<std::size_t>(count);
  }
  return text;
}

// Why the PEM text cannot sign as `type`; empty when it can.
std::string key_problem(const std::string& path, const std::string& pem, DkimKeyType type) {
  std::string error;
  const OpenSslApi* ssl = openssl_api(&error);
  if (ssl == nullptr) return "OpenSSL cannot be loaded to read the DKIM key: " + error;
  BIO* input = ssl->BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = input ? ssl->PEM_read_bio_PrivateKey(input, nullptr, nullptr, nullptr) : nullptr;
  if (input) ssl->BIO_free(input);
  ssl->ERR_clear_error();
  if (key == nullptr) return "the DKIM key file " + path + " holds no PEM private key";
  int id = ssl->EVP_PKEY_get_base_id(key);
  int bits = ssl->EVP_PKEY_get_bits(key);
  ssl->EVP_PKEY_free(key);
  if (type == DkimKeyType::kEd25519 && id != EVP_PKEY_ED25519)
    return "the DKIM key file " + path + " holds no Ed25519 key";
  if (type == DkimKeyType::kRsa && id != EVP_PKEY_RSA)
    return "the DKIM key file " + path + " holds no RSA key";
  if (type == DkimKeyType::kRsa && bits < kMinDkimRsaBits)
    return "the RSA key in " + path + " has " + std::to_string(bits) + " bits; at least " +
           std::to_string(kMinDkimRsaBits) + " are needed";
  return "";
}

}  // namespace

std::optional<std::string> read_dkim_key(const std::string& path, DkimKeyType type,
                                         std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "the DKIM key file " + path + " cannot be opened: " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat info = {};
  std::optional<std::string> pem;
  if (fstat(fd, &info) != 0) {
    *error = "the DKIM key file " + path + " cannot be read: " + std::strerror(errno);
  } else if (std::string problem = file_problem(path, info); !problem.empty()) {
    *error = problem;
  } else if (!(pem = read_file_text(fd, info.st_size))) {
    *error = "the DKIM key file " + path + " cannot be read";
  } else if (std::string bad_key = key_problem(path, *pem, type); !bad_key.empty()) {
    *error = bad_key;
    pem.reset();
  }
  close(fd);
  return pem;
}
