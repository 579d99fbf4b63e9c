// What the inbox decided to answer: a page, a download, a redirect after an
// action, or a refusal. The inbox's steps fill it from the archive; only the
// inbox responder (inbox_responder.h) turns it into bytes. Everything in it is
// as stored: escaping is the responder's.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "velloc/archive/archive_store.h"
#include "velloc/inbox/inbox_query.h"

struct InboxAnswer {
  enum class Kind {
    kList,        // one page of the listing, with the chart
    kSubmission,  // one submission with everything recorded for it
    kUpload,      // an upload's stored file, as an attachment
    kExport,      // the CSV or JSON text of what the filters select
    kStylesheet,
    kRedirect,  // 303 to `location` after an action
    kRefused,   // `status` with `message`
  };
  Kind kind = Kind::kRefused;
  int status = 200;
  std::string message;   // kRefused: plain text
  std::string location;  // kRedirect: a path on the inbox's host
  // The inbox's own path (SCRIPT_NAME + "/inbox"), which every link starts with.
  std::string base;
  std::string user;  // the authenticated user, shown on the pages

  // kList.
  InboxQuery query;
  std::vector<ArchivedSubmission> rows;  // with their first fields
  bool has_next = false;
  std::vector<DayCount> days;  // of the chart
  std::int64_t today = 0;      // the chart's last day, days since the epoch

  // kSubmission. `tokens` maps each action's scope ("submission/ID/release",
  // "delivery/DID/retry", ...) to its token; empty when actions cannot be served.
  ArchivedSubmission submission;
  std::map<std::string, std::string> tokens;

  // kUpload and kExport.
  std::string file_name;
  std::string content_type;
  std::shared_ptr<std::istream> file;  // kUpload: open, read by the responder
  // kExport: writes the text, read from the archive a page at a time, to its stream.
  std::function<void(std::ostream&)> write_export;

  static InboxAnswer refused(int status, std::string message) {
    InboxAnswer answer;
    answer.status = status;
    answer.message = std::move(message);
    return answer;
  }
};
