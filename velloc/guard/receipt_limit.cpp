#include "velloc/guard/receipt_limit.h"

#include <string>
#include <vector>

#include "platform/text.h"
#include "velloc/guard/state_store.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr std::size_t kMaxKeyAddress = 250;
constexpr std::string_view kPlaceholder = "%EMAIL%";

// The address as the log may show it.
std::string shown(std::string_view address) {
  std::string text(address);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

}  // namespace

std::string receipts_sent_key(std::string_view address) {
  std::string key = "receipts to ";
  for (char c : platform::trim(address).substr(0, kMaxKeyAddress))
    key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return key;
}

bool receipt_allowed(std::size_t sent, int per_address) {
  return per_address <= 0 || sent < static_cast<std::size_t>(per_address);
}

bool admit_receipt(Run& run, std::string_view address) {
  int per_address = run.settings.receipts_per_address;
  if (per_address <= 0 || platform::trim(address).empty()) return true;
  // Without a settings file the store would be made in the working directory, the
  // web server's folder: such a run keeps no count.
  if (run.settings.settings_file.empty() && run.settings.state_dsn.empty()) return true;
  std::string error;
  StateStore* store = run.site.state_store(
      state_connection_string(run.settings.state_dsn, run.settings.settings_file), &error);
  std::int64_t now = run.site.clock().unix_milliseconds();
  std::int64_t since = now - kReceiptWindowMilliseconds;
  bool allowed = true;
  auto admit = [&](const std::vector<std::vector<std::int64_t>>& times) {
    allowed = receipt_allowed(times[0].size(), per_address);
    return allowed;
  };
  if (store == nullptr ||
      !store->record_events_if({{receipts_sent_key(address), since, since}}, now, admit, &error)) {
    if (store != nullptr) run.site.state_store_failed();
    log_event(run.message, 1, "State store not available: %s\n", error.c_str());
    return true;
  }
  if (!allowed)
    log_event(run.message, 1, "Receipt to %s skipped: ReceiptsPerAddress=%d reached\n",
              shown(address).c_str(), per_address);
  return allowed;
}

std::string percent_encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 15]);
    }
  }
  return encoded;
}

std::string list_unsubscribe_lines(std::string_view url, std::string_view address) {
  if (url.empty()) return "";
  std::string filled;
  std::string encoded = percent_encoded(address);
  for (std::size_t at = 0;;) {
    std::size_t found = url.find(kPlaceholder, at);
    filled.append(url.substr(at, found == std::string_view::npos ? found : found - at));
    if (found == std::string_view::npos) break;
    filled.append(encoded);
    at = found + kPlaceholder.size();
  }
  for (char& c : filled)
    if (c == '\r' || c == '\n') c = ' ';
  return "List-Unsubscribe: <" + filled + ">\nList-Unsubscribe-Post: List-Unsubscribe=One-Click\n";
}
