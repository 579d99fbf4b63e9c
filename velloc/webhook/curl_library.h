// libcurl, loaded when a run first calls a webhook rather than at start-up, so that
// a site without webhooks pays nothing for it. Every libcurl call of the program
// goes through the table below, whose members carry the names of the functions.
#pragma once

// The checking macros of the header would stand in for the table's member names.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <string>

struct CurlApi {
  decltype(&::curl_easy_init) curl_easy_init;
  decltype(&::curl_easy_setopt) curl_easy_setopt;
  decltype(&::curl_easy_perform) curl_easy_perform;
  decltype(&::curl_easy_getinfo) curl_easy_getinfo;
  decltype(&::curl_easy_cleanup) curl_easy_cleanup;
  decltype(&::curl_easy_strerror) curl_easy_strerror;
  decltype(&::curl_slist_append) curl_slist_append;
  decltype(&::curl_slist_free_all) curl_slist_free_all;
};

// The library's functions, loaded once per process and kept until it ends. Null when
// libcurl.so.4 cannot be loaded or lacks one of them; `error` (when given) then
// receives the loader's text, on this and every later call.
const CurlApi* curl_api(std::string* error);
