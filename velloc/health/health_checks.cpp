#include "velloc/health/health_checks.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "platform/path_map.h"
#include "velloc/guard/state_store.h"
#include "velloc/response/json_writer.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"

namespace {

constexpr char kHealthType[] = "application/health+json";
constexpr std::int64_t kMegabyte = 1024 * 1024;

std::string_view status_name(HealthCheck::Status status) {
  switch (status) {
    case HealthCheck::Status::kPass:
      return "pass";
    case HealthCheck::Status::kWarn:
      return "warn";
    case HealthCheck::Status::kFail:
      break;
  }
  return "fail";
}

Answer health_document(int status, std::string body) {
  Answer answer = Answer::of(Answer::Kind::kDocument);
  answer.status = status;
  answer.content_type = kHealthType;
  answer.body = std::move(body);
  return answer;
}

FolderFacts folder_facts(const std::string& folder) {
  FolderFacts facts;
  facts.path = folder.empty() ? "." : platform::native_path(folder);
  facts.writable = access(facts.path.c_str(), W_OK | X_OK) == 0;
  struct statvfs space;
  if (statvfs(facts.path.c_str(), &space) == 0)
    facts.free_bytes =
        static_cast<std::int64_t>(space.f_bavail) * static_cast<std::int64_t>(space.f_frsize);
  return facts;
}

// The store the settings name answers a query: the archive's tables with Archive=1.
HealthCheck store_check(Run& run, const std::string& settings_file) {
  const settings::SiteSettings& site = *run.settings.site;
  std::string connection = state_connection_string(site.state_dsn, settings_file);
  std::string error;
  bool answered = false;
  if (site.archive) {
    if (ArchiveStore* store = run.site.archive_store(connection, &error)) {
      answered = store->list_page(SubmissionFilter(), 0, 1, &error).has_value();
      if (!answered) run.site.archive_store_failed();
    }
  } else if (StateStore* store = run.site.state_store(connection, &error)) {
    answered = store->answers(&error);
    if (!answered) run.site.state_store_failed();
  }
  if (answered) return {"store", HealthCheck::Status::kPass, ""};
  return {"store", HealthCheck::Status::kFail, "the state store does not answer: " + error};
}

// The outbox: how long its oldest due delivery has been due, against OutboxAlertMinutes.
HealthCheck outbox_of(Run& run) {
  const settings::SiteSettings& site = *run.settings.site;
  std::string error;
  std::optional<std::vector<OutboxKind>> outbox = run.site.outbox(site, &error);
  if (!outbox) {
    return {"outbox", HealthCheck::Status::kFail, "the outbox cannot be read: " + error};
  }
  std::optional<std::int64_t> oldest;
  for (const OutboxKind& kind : *outbox)
    if (kind.due > 0) oldest = std::max(oldest.value_or(0), kind.oldest_due_ms / 1000);
  return outbox_check(oldest, site.outbox_alert_minutes);
}

}  // namespace

HealthCheck folder_check(std::string name, const FolderFacts& folder,
                         std::int64_t min_free_megabytes) {
  HealthCheck check{std::move(name), HealthCheck::Status::kPass, ""};
  if (!folder.writable) {
    check.status = HealthCheck::Status::kFail;
    check.output = folder.path + " cannot be written";
  } else if (folder.free_bytes && *folder.free_bytes < min_free_megabytes * kMegabyte) {
    check.status = HealthCheck::Status::kFail;
    check.output = folder.path + " has " + std::to_string(*folder.free_bytes / kMegabyte) +
                   " MB free, under " + std::to_string(min_free_megabytes);
  }
  return check;
}

HealthCheck outbox_check(std::optional<std::int64_t> oldest_due_seconds, int alert_minutes) {
  HealthCheck check{"outbox", HealthCheck::Status::kPass, ""};
  if (oldest_due_seconds && *oldest_due_seconds > std::int64_t{alert_minutes} * 60) {
    check.status = HealthCheck::Status::kWarn;
    check.output =
        "the oldest due delivery fell due " + std::to_string(*oldest_due_seconds) + " s ago";
  }
  return check;
}

Answer readiness_answer(const std::vector<HealthCheck>& checks) {
  HealthCheck::Status worst = HealthCheck::Status::kPass;
  JsonObject members;
  for (const HealthCheck& check : checks) {
    worst = std::max(worst, check.status);
    JsonObject result;
    result.add_string("status", status_name(check.status));
    if (!check.output.empty()) result.add_string("output", check.output);
    std::string list = "[";
    list.append(result.text()).append("]");
    members.add_json(check.name, list);
  }
  JsonObject document;
  document.add_string("status", status_name(worst)).add_json("checks", members.text());
  return health_document(worst == HealthCheck::Status::kFail ? 503 : 200, document.text());
}

Answer liveness_answer() { return health_document(200, R"({"status":"pass"})"); }

Answer answer_readiness(Run& run, const std::string& settings_file) {
  run.settings.site = run.site.site_settings(settings_file);
  const settings::SiteSettings& site = *run.settings.site;
  std::vector<HealthCheck> checks;
  if (std::optional<std::string> passed_over = run.site.settings_passed_over())
    checks.push_back({"settings", HealthCheck::Status::kWarn,
                      *passed_over + " changed and was not taken; the last good version serves"});
  else
    checks.push_back({"settings", HealthCheck::Status::kPass, ""});
  checks.push_back(store_check(run, settings_file));
  checks.push_back(folder_check("temp",
                                folder_facts(temp_directory_setting(site, run.site.facts())),
                                site.min_free_megabytes));
  if (site.archive_anywhere) checks.push_back(outbox_of(run));
  Settings form;
  settings::resolve_form_settings(site, form);
  if (!form.archive_folder.empty())
    checks.push_back(
        folder_check("archive_folder", folder_facts(form.archive_folder), site.min_free_megabytes));
  return readiness_answer(checks);
}
