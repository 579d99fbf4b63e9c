// The list's filters as the inbox's pages send them (form, status, from, to, q,
// page) and back: parsed into the archive's filter, and written again into the
// query of the links that keep them. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velloc/archive/archive_store.h"

inline constexpr int kInboxPageSize = 50;

struct InboxQuery {
  // As sent, for the filter form to show again; a status or a date that is not
  // understood filters nothing.
  std::string form;
  std::string status;  // "accepted", "spam", "pending" or "failed"
  std::string from;    // YYYY-MM-DD, a UTC day
  std::string to;      // YYYY-MM-DD, included
  std::string search;  // q
  std::string tag;     // tag: tagged so by the profile's rules
  int page = 1;        // 1-based
  SubmissionFilter filter;
};

// The values of a query string's fields (repeated names: the first value).
InboxQuery parse_inbox_query(std::string_view query_string);

// "form=...&status=...&page=N" for the filters of `query` that are set, percent
// encoded; `page` 1 left out. Empty when nothing is set.
std::string inbox_query_string(const InboxQuery& query, int page);
