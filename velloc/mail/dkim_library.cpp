#include "velloc/mail/dkim_library.h"

#include "platform/shared_library.h"

namespace {

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

void find_functions(void* library, platform::LoadedLibrary<DkimApi>& loaded) {
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
}

#undef VELLOC_FIND

}  // namespace

const DkimApi* dkim_api(std::string* error) {
  static const platform::LoadedLibrary<DkimApi> loaded =
      platform::load_library<DkimApi>("libopendkim.so.11", find_functions);
  return platform::usable_api(loaded, error);
}
