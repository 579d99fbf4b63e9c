#include "velloc/guard/submission_limits.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/rate_limit.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr char kStateFileName[] = "velloc-state.db";
constexpr int kTooManyRequests = 429;
using text::kNoReceiptNumber;
using text::kTooMany;
constexpr char kReceiptCounter[] = "receipt";
constexpr std::size_t kMaxKeyValue = 250;
// Events stay at least this long, so that forms with longer windows still see them.
constexpr std::int64_t kKeepMilliseconds = 24 * 3600 * 1000LL;

// One configured limit, applied to one address.
struct LimitCheck {
  std::string setting;  // "RateLimit=5/60", for the log
  std::string address;
  std::string key;
  RateLimit limit;
};

std::string lower_ascii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string state_connection(const Run& run) {
  return state_connection_string(run.settings.state_dsn, run.settings.settings_file);
}

// The process keeps the store between runs; one that failed is opened again by
// the next run.
StateStore* state_store(Run& run) {
  std::string error;
  StateStore* store = run.site.state_store(state_connection(run), &error);
  if (!store) log_event(run.message, 1, "State store not available: %s\n", error.c_str());
  return store;
}

void add_check(const Run& run, const char* setting, const std::string& text,
               const std::string& address, const std::string& key,
               std::vector<LimitCheck>& checks) {
  if (text.empty()) return;
  std::optional<RateLimit> limit = parse_rate_limit(text);
  if (!limit) {
    log_event(run.message, 1, "Invalid %s setting ignored: %s\n", setting, text.c_str());
    return;
  }
  checks.push_back({std::string(setting) + "=" + text, address, key, *limit});
}

std::vector<LimitCheck> configured_checks(const Run& run) {
  std::vector<LimitCheck> checks;
  std::string client = client_group(run.request.get_env("REMOTE_ADDR"));
  add_check(run, "RateLimit", run.settings.rate_limit, client,
            "client " + client.substr(0, kMaxKeyValue), checks);
  std::string receipt_address;
  if (run.request.field_is_set("DO_RECEIPT")) {
    receipt_address = lower_ascii(platform::trim(run.request.get_field("EMAIL")));
    add_check(run, "ReceiptRateLimit", run.settings.receipt_rate_limit, receipt_address,
              receipt_limit_key(run.request.get_field("EMAIL")), checks);
  }
  // The mail with a confirmation link goes to the visitor as a receipt does.
  if (run.settings.archive && !run.settings.confirm_field.empty()) {
    std::string address = run.request.get_field(run.settings.confirm_field);
    std::string shown = lower_ascii(platform::trim(address));
    if (!shown.empty() && shown != receipt_address)
      add_check(run, "ReceiptRateLimit", run.settings.receipt_rate_limit, shown,
                receipt_limit_key(address), checks);
  }
  return checks;
}

[[noreturn]] void refuse(Run& run, const LimitCheck& check, const RateDecision& decision) {
  std::string address = check.address;
  for (char& c : address)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  log_event(run.message, LogEvent::kRateLimited, 1, "Rate limit %s exceeded by %s\n",
            check.setting.c_str(), address.c_str());
  Answer refusal;
  refusal.reason = Reason::kRateLimited;
  refusal.status = kTooManyRequests;
  refusal.retry_after_seconds = static_cast<int>(decision.retry_after_seconds);
  refusal.message = kTooMany;
  fail_request(run.message, std::move(refusal));
}

}  // namespace

std::string state_connection_string(const std::string& state_dsn,
                                    const std::string& settings_file) {
  if (!state_dsn.empty()) return state_dsn;
  std::size_t slash = settings_file.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : settings_file.substr(0, slash);
  return "DRIVER=SQLite3;Database=" + folder + "/" + kStateFileName;
}

std::string receipt_limit_key(std::string_view address) {
  return "receipt " + lower_ascii(platform::trim(address)).substr(0, kMaxKeyValue);
}

void check_rate_limits(Run& run) {
  std::vector<LimitCheck> checks = configured_checks(run);
  if (checks.empty()) return;
  StateStore* store = state_store(run);
  if (store == nullptr) return;
  std::int64_t now = run.site.clock().unix_milliseconds();
  std::vector<EventQuery> queries;
  for (const LimitCheck& check : checks) {
    std::int64_t window = check.limit.seconds * 1000;
    queries.push_back({check.key, now - window, now - std::max(window, kKeepMilliseconds)});
  }
  std::optional<std::pair<std::size_t, RateDecision>> refusal;
  auto admit = [&](const std::vector<std::vector<std::int64_t>>& times) {
    for (std::size_t i = 0; i < checks.size(); ++i) {
      RateDecision decision = decide_rate(checks[i].limit, times[i], now);
      if (!decision.allowed) {
        refusal.emplace(i, decision);
        return false;
      }
    }
    return true;
  };
  std::string error;
  if (!store->record_events_if(queries, now, admit, &error)) {
    log_event(run.message, 1, "State store not available: %s\n", error.c_str());
    run.site.state_store_failed();
    return;
  }
  if (refusal) refuse(run, checks[refusal->first], refusal->second);
}

bool receipt_counter_in_state(const Run& run) { return run.settings.receipt_counter_in_state; }

int take_state_receipt_number(Run& run, int first) {
  StateStore* store = state_store(run);
  std::string error;
  std::optional<std::int64_t> number;
  if (store != nullptr) {
    number = store->take_counter(kReceiptCounter, first, &error);
    if (!number) {
      log_event(run.message, 1, "State store not available: %s\n", error.c_str());
      run.site.state_store_failed();
    }
  }
  if (!number || *number > INT_MAX || *number < INT_MIN)
    fail_request(run.message, kNoReceiptNumber);
  return static_cast<int>(*number);
}
