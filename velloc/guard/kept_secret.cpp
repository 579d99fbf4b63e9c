#include "velloc/guard/kept_secret.h"

#include "velloc/guard/state_store.h"
#include "velloc/inbox/inbox_access.h"
#include "velloc/site.h"

std::optional<std::string> kept_site_secret(Site& site, const std::string& connection,
                                            const std::string& name, std::string* error) {
  StateStore* store = site.state_store(connection, error);
  std::string candidate = new_inbox_secret();
  std::optional<std::string> kept;
  if (candidate.empty())
    *error = "the kernel gave no random bytes";
  else if (store != nullptr)
    kept = store->kept_secret(name, candidate, error);
  if (!kept && store != nullptr) site.state_store_failed();
  return kept;
}
