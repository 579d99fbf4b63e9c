#include "velloc/mail/dkim_library.h"

#include <dlfcn.h>

#include "platform/shared_library.h"

namespace {

constexpr const char* kLibrary = "libopendkim.so.11";

struct LoadedApi {
  DkimApi api{};
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
  VELLOC_FIND(dkim_init);
  VELLOC_FIND(dkim_close);
  VELLOC_FIND(dkim_options);
  VELLOC_FIND(dkim_libfeature);
  VELLOC_FIND(dkim_sign);
  VELLOC_FIND(dkim_header);
  VELLOC_FIND(dkim_eoh);
  VELLOC_FIND(dkim_body);
  VELLOC_FIND(dkim_eom);
  VELLOC_FIND(dkim_getsighdr_d);
  VELLOC_FIND(dkim_free);
  VELLOC_FIND(dkim_geterror);
  VELLOC_FIND(dkim_getresultstr);
  return loaded;
}

#undef VELLOC_FIND

}  // namespace

const DkimApi* dkim_api(std::string* error) {
  static const LoadedApi loaded = load_api();
  if (!loaded.error.empty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}
