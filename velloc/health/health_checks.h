// The health endpoints' room: liveness (/healthz), which touches nothing, and
// readiness (/readyz), which checks what a submission needs: the settings, the state
// store and archive, the folders velloc writes, and the outbox. Each check's result is
// decided here from facts the caller gathers, so that the decisions are plain to test;
// the answer is an application/health+json document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velloc/answer.h"

class Site;
struct Run;

struct HealthCheck {
  enum class Status { kPass, kWarn, kFail };
  std::string name;  // "settings", "store", "temp", "archive_folder", "outbox"
  Status status = Status::kPass;
  std::string output;  // why, when not pass; never a secret or a field's value
};

// The facts of one folder velloc writes into.
struct FolderFacts {
  std::string path;
  bool writable = false;
  std::optional<std::int64_t> free_bytes;  // nullopt: could not be had
};
HealthCheck folder_check(std::string name, const FolderFacts& folder,
                         std::int64_t min_free_megabytes);

// The outbox: the age of its oldest due delivery (nullopt: none is due).
HealthCheck outbox_check(std::optional<std::int64_t> oldest_due_seconds, int alert_minutes);

// The document: "status" the worst of the checks, and "checks" with one member per
// check. 503 for fail, else 200.
Answer readiness_answer(const std::vector<HealthCheck>& checks);
Answer liveness_answer();

// /readyz for the run's site: gathers the facts and decides.
Answer answer_readiness(Run& run, const std::string& settings_file);
