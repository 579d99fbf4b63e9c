#include "velloc/doctor/ldns_library.h"

#include "platform/shared_library.h"

namespace {

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

void find_functions(void* library, platform::LoadedLibrary<LdnsApi>& loaded) {
  VELLOC_FIND(ldns_resolver_new);
  VELLOC_FIND(ldns_resolver_new_frm_file);
  VELLOC_FIND(ldns_resolver_push_nameserver);
  VELLOC_FIND(ldns_resolver_set_port);
  VELLOC_FIND(ldns_resolver_set_timeout);
  VELLOC_FIND(ldns_resolver_set_retry);
  VELLOC_FIND(ldns_resolver_set_defnames);
  VELLOC_FIND(ldns_resolver_set_dnsrch);
  VELLOC_FIND(ldns_resolver_deep_free);
  VELLOC_FIND(ldns_resolver_nameserver_count);
  VELLOC_FIND(ldns_resolver_set_nameserver_rtt);
  VELLOC_FIND(ldns_resolver_query_status);
  VELLOC_FIND(ldns_rdf_new_frm_str);
  VELLOC_FIND(ldns_dname_new_frm_str);
  VELLOC_FIND(ldns_rdf_deep_free);
  VELLOC_FIND(ldns_rdf2str);
  VELLOC_FIND(ldns_rdf_data);
  VELLOC_FIND(ldns_rdf_size);
  VELLOC_FIND(ldns_pkt_get_rcode);
  VELLOC_FIND(ldns_pkt_rr_list_by_type);
  VELLOC_FIND(ldns_pkt_free);
  VELLOC_FIND(ldns_rr_list_rr_count);
  VELLOC_FIND(ldns_rr_list_rr);
  VELLOC_FIND(ldns_rr_list_deep_free);
  VELLOC_FIND(ldns_rr_rd_count);
  VELLOC_FIND(ldns_rr_rdf);
  VELLOC_FIND(ldns_get_errorstr_by_id);
}

#undef VELLOC_FIND

}  // namespace

const LdnsApi* ldns_api(std::string* error) {
  static const platform::LoadedLibrary<LdnsApi> loaded =
      platform::load_library<LdnsApi>("libldns.so.3", find_functions);
  return platform::usable_api(loaded, error);
}
