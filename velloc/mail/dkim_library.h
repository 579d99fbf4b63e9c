// libopendkim, loaded when a run first signs a mail rather than at start-up, so that
// a site that does not sign pays nothing for it. Only the calls of signing are
// declared, with the library's C types given opaque names here (its header is C
// only); the constants are the library's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

struct DkimLibrary;  // DKIM_LIB
struct DkimHandle;   // DKIM

inline constexpr int kDkimStatOk = 0;
inline constexpr int kDkimCanonRelaxed = 1;
inline constexpr int kDkimSignRsaSha256 = 1;
inline constexpr int kDkimSignEd25519Sha256 = 2;
inline constexpr int kDkimOpSetOpt = 1;
inline constexpr unsigned kDkimOptsSignHeaders = 4;
inline constexpr unsigned kDkimFeatureEd25519 = 11;

struct DkimApi {
  DkimLibrary* (*dkim_init)(void* (*)(void*, size_t), void (*)(void*, void*));
  void (*dkim_close)(DkimLibrary*);
  // A list option (kDkimOptsSignHeaders) takes a null-ended array and sizeof(char**).
  int (*dkim_options)(DkimLibrary*, int, unsigned, void*, size_t);
  bool (*dkim_libfeature)(DkimLibrary*, unsigned);
  DkimHandle* (*dkim_sign)(DkimLibrary*, const unsigned char* id, void* closure,
                           const unsigned char* key, const unsigned char* selector,
                           const unsigned char* domain, int header_canon, int body_canon,
                           int algorithm, ssize_t length, int* status);
  int (*dkim_header)(DkimHandle*, unsigned char*, size_t);
  int (*dkim_eoh)(DkimHandle*);
  int (*dkim_body)(DkimHandle*, unsigned char*, size_t);
  int (*dkim_eom)(DkimHandle*, bool* testkey);
  int (*dkim_getsighdr_d)(DkimHandle*, size_t initial, unsigned char** buffer, size_t* length);
  int (*dkim_free)(DkimHandle*);
  const char* (*dkim_geterror)(DkimHandle*);
  const char* (*dkim_getresultstr)(int);
};

// The library's functions, loaded once per process and kept until it ends. Null when
// libopendkim.so.11 cannot be loaded or lacks one of them; `error` then receives the
// loader's text, on this and every later call.
const DkimApi* dkim_api(std::string* error);
