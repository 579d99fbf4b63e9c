#include "velloc/webhook/curl_library.h"

#include "platform/shared_library.h"

namespace {

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

void find_functions(void* library, platform::LoadedLibrary<CurlApi>& loaded) {
  VELLOC_FIND(curl_easy_init);
  VELLOC_FIND(curl_easy_setopt);
  VELLOC_FIND(curl_easy_perform);
  VELLOC_FIND(curl_easy_getinfo);
  VELLOC_FIND(curl_easy_cleanup);
  VELLOC_FIND(curl_easy_strerror);
  VELLOC_FIND(curl_slist_append);
  VELLOC_FIND(curl_slist_free_all);
}

#undef VELLOC_FIND

}  // namespace

const CurlApi* curl_api(std::string* error) {
  static const platform::LoadedLibrary<CurlApi> loaded =
      platform::load_library<CurlApi>("libcurl.so.4", find_functions);
  return platform::usable_api(loaded, error);
}
