// The DNS resolver library (ldns), loaded when `velloc doctor` first asks a question
// rather than at start-up, so that a form run never loads it. Every ldns call of the
// program goes through the table below, whose members carry the functions' names.
#pragma once

// The standard header first: clang does not take ldns's headers before libstdc++'s.
// clang-format off
#include <string>
#include <ldns/ldns.h>
// clang-format on

struct LdnsApi {
  decltype(&::ldns_resolver_new) ldns_resolver_new;
  decltype(&::ldns_resolver_new_frm_file) ldns_resolver_new_frm_file;
  decltype(&::ldns_resolver_push_nameserver) ldns_resolver_push_nameserver;
  decltype(&::ldns_resolver_set_port) ldns_resolver_set_port;
  decltype(&::ldns_resolver_set_timeout) ldns_resolver_set_timeout;
  decltype(&::ldns_resolver_set_retry) ldns_resolver_set_retry;
  decltype(&::ldns_resolver_set_defnames) ldns_resolver_set_defnames;
  decltype(&::ldns_resolver_set_dnsrch) ldns_resolver_set_dnsrch;
  decltype(&::ldns_resolver_deep_free) ldns_resolver_deep_free;
  decltype(&::ldns_resolver_nameserver_count) ldns_resolver_nameserver_count;
  decltype(&::ldns_resolver_set_nameserver_rtt) ldns_resolver_set_nameserver_rtt;
  decltype(&::ldns_resolver_query_status) ldns_resolver_query_status;
  decltype(&::ldns_rdf_new_frm_str) ldns_rdf_new_frm_str;
  decltype(&::ldns_dname_new_frm_str) ldns_dname_new_frm_str;
  decltype(&::ldns_rdf_deep_free) ldns_rdf_deep_free;
  decltype(&::ldns_rdf2str) ldns_rdf2str;
  decltype(&::ldns_rdf_data) ldns_rdf_data;
  decltype(&::ldns_rdf_size) ldns_rdf_size;
  decltype(&::ldns_pkt_get_rcode) ldns_pkt_get_rcode;
  decltype(&::ldns_pkt_rr_list_by_type) ldns_pkt_rr_list_by_type;
  decltype(&::ldns_pkt_free) ldns_pkt_free;
  decltype(&::ldns_rr_list_rr_count) ldns_rr_list_rr_count;
  decltype(&::ldns_rr_list_rr) ldns_rr_list_rr;
  decltype(&::ldns_rr_list_deep_free) ldns_rr_list_deep_free;
  decltype(&::ldns_rr_rd_count) ldns_rr_rd_count;
  decltype(&::ldns_rr_rdf) ldns_rr_rdf;
  decltype(&::ldns_get_errorstr_by_id) ldns_get_errorstr_by_id;
};

// The library's functions, loaded once per process and kept until it ends. Null when
// libldns.so.3 cannot be loaded or lacks one of them; `error` then gets the loader's text.
const LdnsApi* ldns_api(std::string* error);
