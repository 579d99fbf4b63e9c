#include "velloc/inbox/inbox_step.h"

#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/delivery_commands.h"
#include "velloc/archive/release.h"
#include "velloc/guard/kept_secret.h"
#include "velloc/inbox/inbox_access.h"
#include "velloc/inbox/inbox_answer.h"
#include "velloc/inbox/inbox_chart.h"
#include "velloc/inbox/inbox_responder.h"
#include "velloc/request/event_log.h"
#include "velloc/response/json_writer.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"

namespace {

constexpr std::size_t kInboxPathLength = 6;  // "/inbox"
constexpr std::int64_t kMsPerDay = 86400000;
constexpr int kSendTimeoutSeconds = 30;

constexpr char kInboxSecretName[] = "inbox";

struct InboxSettings {
  bool enabled = false;  // Inbox=1
  std::string users;     // InboxUsers
  std::string secret;    // InboxSecret; empty: the one the state store keeps
  bool archive = false;  // Archive=1
  std::string state_dsn;
};

// One inbox request: what it needs from the run, and the store it reads.
struct InboxRequest {
  Run& run;
  const InboxSettings& settings;
  const std::string& settings_file;
  ArchiveStore* store;  // set once the inbox may be shown
  InboxAnswer& answer;  // base and user filled in
  std::vector<std::string> parts;
  std::int64_t now = 0;
  std::optional<std::string> secret;  // once asked for: empty when there is none
};

InboxSettings inbox_settings_of(const settings::SiteSettings& site) {
  InboxSettings settings;
  settings.enabled = site.inbox;
  settings.users = site.inbox_users;
  settings.secret = site.inbox_secret;
  settings.archive = site.archive;
  settings.state_dsn = std::string(platform::trim(site.state_dsn));
  return settings;
}

// Control characters never reach a header or a logged name.
std::string without_controls(std::string text) {
  std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
  return text;
}

InboxAnswer refused(InboxRequest& r, int status, const std::string& message) {
  InboxAnswer answer = InboxAnswer::refused(status, message);
  answer.base = r.answer.base;
  answer.user = r.answer.user;
  return answer;
}

InboxAnswer store_failed(InboxRequest& r, const std::string& error) {
  log_event(r.run.message, 1, "Inbox: archive not available: %s\n", error.c_str());
  r.run.site.archive_store_failed();
  return refused(r, 503, "The archive is not available; see the log.");
}

InboxAnswer redirect(InboxRequest& r, const std::string& path) {
  InboxAnswer answer;
  answer.kind = InboxAnswer::Kind::kRedirect;
  answer.location = r.answer.base + path;
  return answer;
}

InboxAnswer list_page(InboxRequest& r) {
  InboxAnswer& answer = r.answer;
  answer.kind = InboxAnswer::Kind::kList;
  answer.query = parse_inbox_query(r.run.request.get_env("QUERY_STRING"));
  std::string error;
  auto rows = r.store->list_page(answer.query.filter,
                                 static_cast<std::int64_t>(answer.query.page - 1) * kInboxPageSize,
                                 kInboxPageSize + 1, &error);
  if (!rows) return store_failed(r, error);
  answer.has_next = rows->size() > static_cast<std::size_t>(kInboxPageSize);
  if (answer.has_next) rows->resize(kInboxPageSize);
  answer.rows = std::move(*rows);
  answer.today = r.now / kMsPerDay;
  auto days = r.store->count_per_day((answer.today - kChartDays + 1) * kMsPerDay,
                                     (answer.today + 1) * kMsPerDay, &error);
  if (!days) return store_failed(r, error);
  answer.days = std::move(*days);
  return std::move(answer);
}

// The action's first line of output or error, for the log and the page.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.starts_with("velloc: ")) line.erase(0, 8);
  return line;
}

// The download is written as it is read, a page of the archive at a time, after
// its headers: a store that fails on the way ends the text there, and the log
// says so.
InboxAnswer export_page(InboxRequest& r, bool json) {
  InboxQuery query = parse_inbox_query(r.run.request.get_env("QUERY_STRING"));
  InboxAnswer& answer = r.answer;
  answer.kind = InboxAnswer::Kind::kExport;
  answer.file_name = json ? "submissions.json" : "submissions.csv";
  answer.content_type = json ? "application/json" : "text/csv; charset=utf-8";
  answer.write_export = [store = r.store, filter = query.filter, json,
                         &message = r.run.message](std::ostream& out) {
    std::ostringstream err;
    auto write = [&](std::string&& text) { out << valid_utf8(text); };
    if (export_submissions(*store, filter, json, write, err) != kArchiveOk)
      log_event(message, 1, "Inbox: export ended early: %s\n", first_line(err.str()).c_str());
  };
  return std::move(answer);
}

// InboxSecret, or else the secret the state store keeps for the inbox, made on
// first use; empty (the log says why) when neither is to be had.
const std::string& inbox_secret(InboxRequest& r) {
  if (r.secret) return *r.secret;
  r.secret = r.settings.secret;
  if (!r.secret->empty()) return *r.secret;
  std::string error;
  std::optional<std::string> kept =
      kept_site_secret(r.run.site, state_connection_string(r.settings.state_dsn, r.settings_file),
                       kInboxSecretName, &error);
  if (kept)
    r.secret = std::move(*kept);
  else
    log_event(r.run.message, 1, "Inbox: no secret for its actions: %s\n", error.c_str());
  return *r.secret;
}

// The submission `id`, or the answer that says why there is none.
std::optional<InboxAnswer> find_submission(InboxRequest& r, const std::string& id,
                                           ArchivedSubmission* found) {
  std::optional<ArchivedSubmission> submission;
  std::string error;
  if (!r.store->find(id, &submission, &error)) return store_failed(r, error);
  if (!submission) return refused(r, 404, "There is no submission " + id + " in the archive.");
  *found = std::move(*submission);
  return std::nullopt;
}

InboxAnswer submission_page(InboxRequest& r, const std::string& id) {
  InboxAnswer& answer = r.answer;
  if (auto missing = find_submission(r, id, &answer.submission)) return std::move(*missing);
  answer.kind = InboxAnswer::Kind::kSubmission;
  const std::string& secret = inbox_secret(r);
  if (secret.empty()) return std::move(answer);
  std::vector<std::string> scopes;
  for (const char* action : {"release", "resend", "delete"})
    scopes.push_back(action_scope("submission", id, action));
  for (const Delivery& d : answer.submission.deliveries)
    scopes.push_back(action_scope("delivery", d.id, "retry"));
  for (const std::string& s : scopes) answer.tokens[s] = inbox_token(secret, answer.user, s);
  return std::move(answer);
}

InboxAnswer upload_file(InboxRequest& r, const std::string& id, const std::string& number) {
  ArchivedSubmission submission;
  if (auto missing = find_submission(r, id, &submission)) return std::move(*missing);
  std::size_t index = static_cast<std::size_t>(platform::parse_leading_int(number));
  if (index < 1 || index > submission.uploads.size() ||
      submission.uploads[index - 1].stored_path.empty())
    return refused(r, 404, "That upload was not kept.");
  const ArchivedUpload& upload = submission.uploads[index - 1];
  auto file =
      std::make_shared<std::ifstream>(platform::native_path(upload.stored_path), std::ios::binary);
  if (!*file) return refused(r, 404, "That upload's file is gone.");
  InboxAnswer& answer = r.answer;
  answer.kind = InboxAnswer::Kind::kUpload;
  answer.file_name = upload.shown_name;
  answer.content_type = download_type(upload.content_type);
  answer.file = std::move(file);
  return std::move(answer);
}

// Runs `send` with the mail and webhook settings a web run reads.
int with_senders(InboxRequest& r, std::ostream& err,
                 const std::function<int(const DeliverySettings&)>& send) {
  return with_delivery_settings(r.run.site, r.settings_file, kSendTimeoutSeconds, "inbox", err,
                                send);
}

InboxAnswer run_action(InboxRequest& r, const std::string& kind, const std::string& id,
                       const std::string& action) {
  std::ostringstream out, err;
  int status = kArchiveFailed;
  std::string shown = "/submission/" + platform::percent_encode(id);
  if (action == "release") {
    status = release_submission(r.run.site, *r.store, id, r.settings_file,
                                r.run.request.get_env("SERVER_NAME"), out, err);
  } else if (action == "resend") {
    status = with_senders(r, err, [&](const DeliverySettings& s) {
      return resend_form_mail(id, *r.store, s, r.now, out, err);
    });
  } else if (action == "delete") {
    status = erase_submission(*r.store, id, out, err);
    shown = "";
  } else {
    std::string submission_id;
    status = with_senders(r, err, [&](const DeliverySettings& s) {
      return retry_delivery(id, *r.store, s, r.now, out, err, &submission_id);
    });
    shown = "/submission/" + platform::percent_encode(submission_id);
  }
  const std::string& user = r.answer.user;
  std::string result = first_line(status == kArchiveOk ? out.str() : err.str());
  log_event(r.run.message, 1, "Inbox: %s by %s of %s %s: %s%s\n", action.c_str(), user.c_str(),
            kind.c_str(), id.c_str(), status == kArchiveOk ? "" : "failed: ", result.c_str());
  if (status == kArchiveDoneAlready)
    return refused(r, 409, "The " + action + " was done already: " + result);
  if (status != kArchiveOk) return refused(r, 500, "The " + action + " did not succeed: " + result);
  return redirect(r, shown);
}

const char* check_text(ActionCheck check) {
  switch (check) {
    case ActionCheck::kNoSecret:
      return "there is no secret for its token";
    case ActionCheck::kBadToken:
      return "its token is missing or wrong";
    case ActionCheck::kForeignOrigin:
      return "it was not posted from the inbox's own origin";
    case ActionCheck::kAllowed:
      break;
  }
  return "allowed";
}

// A posted action runs only when its token and origin check.
InboxAnswer checked_action(InboxRequest& r, const std::string& kind, const std::string& id,
                           const std::string& action) {
  const CgiRequest& request = r.run.request;
  std::string scope = action_scope(kind, id, action);
  std::string origin = own_origin(request.get_env("HTTPS"), request.get_env("REQUEST_SCHEME"),
                                  request.get_env("HTTP_HOST"));
  std::string token = request.get_field("token");
  std::string sent_origin = request.get_env("HTTP_ORIGIN");
  std::string referer = request.get_env("HTTP_REFERER");
  ActionCheck check =
      check_action(inbox_secret(r), {r.answer.user, scope, token, sent_origin, referer, origin});
  if (check == ActionCheck::kAllowed) return run_action(r, kind, id, action);
  log_event(r.run.message, 1, "Inbox: %s of %s %s by %s refused: %s\n", action.c_str(),
            kind.c_str(), id.c_str(), r.answer.user.c_str(), check_text(check));
  if (check == ActionCheck::kNoSecret)
    return refused(r, 503, "Actions need a secret: InboxSecret, or the state store to keep one.");
  return refused(r, 403, "This action was refused: " + std::string(check_text(check)) + ".");
}

bool is_action(const std::vector<std::string>& p) {
  if (p.size() != 3) return false;
  if (p[0] == "submission") return p[2] == "release" || p[2] == "resend" || p[2] == "delete";
  return p[0] == "delivery" && p[2] == "retry";
}

InboxAnswer route(InboxRequest& r) {
  const std::vector<std::string>& p = r.parts;
  std::string method = r.run.request.get_env("REQUEST_METHOD");
  bool get = method == "GET" || method == "HEAD";
  if (is_action(p)) {
    if (method != "POST") return refused(r, 405, "Actions are posted by their buttons.");
    return checked_action(r, p[0], p[1], p[2]);
  }
  if (!get) return refused(r, 405, "The inbox's pages are read with GET.");
  if (p.empty()) return list_page(r);
  if (p.size() == 1 && (p[0] == "export.csv" || p[0] == "export.json"))
    return export_page(r, p[0] == "export.json");
  if (p.size() == 2 && p[0] == "submission") return submission_page(r, p[1]);
  if (p.size() == 3 && p[0] == "upload") return upload_file(r, p[1], p[2]);
  return refused(r, 404, "There is no such page in the inbox.");
}

InboxAnswer decide(Run& run, const InboxSettings& settings, const std::string& settings_file,
                   std::string_view below) {
  InboxAnswer answer;
  answer.base = without_controls(run.request.get_env("SCRIPT_NAME")) + "/inbox";
  answer.user = run.request.get_env("REMOTE_USER");
  InboxRequest request{run,
                       settings,
                       settings_file,
                       nullptr,
                       answer,
                       {},
                       run.site.clock().unix_milliseconds(),
                       std::nullopt};
  switch (decide_inbox_access(settings.users, answer.user)) {
    case InboxAccess::kNoUser:
      log_event(run.message, 1, "Inbox refused: no user was authenticated\n");
      return refused(request, 403, "The inbox is served only behind the web server's login.");
    case InboxAccess::kNotListed:
      log_event(run.message, 1, "Inbox refused: user %s is not in InboxUsers\n",
                answer.user.c_str());
      return refused(request, 403, "User " + answer.user + " may not see the inbox.");
    case InboxAccess::kAllowed:
      break;
  }
  if (below == "/style.css") {
    answer.kind = InboxAnswer::Kind::kStylesheet;
    return answer;
  }
  if (!settings.archive) {
    log_event(run.message, 1, "Inbox not available: the settings do not say Archive=1\n");
    return refused(request, 503, "The inbox needs the archive: Archive=1 in the settings.");
  }
  std::string error;
  request.store =
      run.site.archive_store(state_connection_string(settings.state_dsn, settings_file), &error);
  if (request.store == nullptr) return store_failed(request, error);
  request.parts = platform::split_at(below, "/");
  return route(request);
}

}  // namespace

Answer answer_inbox(Run& run, const std::string& settings_file) {
  std::string path = run.request.get_env("PATH_INFO");
  std::shared_ptr<const settings::SiteSettings> site = run.site.site_settings(settings_file);
  InboxSettings settings = inbox_settings_of(*site);
  run.message.log_file = site->log_file;
  run.message.log_level = site->log_level;
  run.message.log_format = site->log_format;
  Answer ended = Answer::of(Answer::Kind::kInbox);
  ended.inbox = std::make_shared<const InboxAnswer>(
      decide(run, settings, settings_file, std::string_view(path).substr(kInboxPathLength)));
  return ended;
}
