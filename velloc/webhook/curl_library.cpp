#include "velloc/webhook/curl_library.h"

#include <dlfcn.h>

#include "platform/shared_library.h"

namespace {

constexpr const char* kLibrary = "libcurl.so.4";

struct LoadedApi {
  CurlApi api{};
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
  VELLOC_FIND(curl_easy_init);
  VELLOC_FIND(curl_easy_setopt);
  VELLOC_FIND(curl_easy_perform);
  VELLOC_FIND(curl_easy_getinfo);
  VELLOC_FIND(curl_easy_cleanup);
  VELLOC_FIND(curl_easy_strerror);
  VELLOC_FIND(curl_slist_append);
  VELLOC_FIND(curl_slist_free_all);
  return loaded;
}

#undef VELLOC_FIND

}  // namespace

const CurlApi* curl_api(std::string* error) {
  static const LoadedApi loaded = load_api();
  if (!loaded.error.empty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}
