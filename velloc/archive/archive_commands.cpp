#include "velloc/archive/archive_commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/path_map.h"
#include "platform/unicode_controls.h"
#include "velloc/archive/archive_text.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/guard/receipt_limit.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/response/json_writer.h"
#include "velloc/templates/value_escape.h"

namespace {

// Ids per DELETE: below every database's limit of parameters.
constexpr std::size_t kRemoveBatch = 500;
// An export's text is handed on once it holds this much.
constexpr std::size_t kExportPiece = 64 * 1024;

// Control characters of stored text never reach the operator's terminal: they
// are shown escaped, as the log shows them.
std::string printable(std::string_view text) {
  return platform::escape_controls(text, platform::ControlEscape::kOneLine);
}

std::string shown_or_dash(const std::string& text) { return text.empty() ? "-" : printable(text); }

std::string tag_list(const std::vector<std::string>& tags) {
  std::string list;
  for (const std::string& tag : tags) list += (list.empty() ? "" : ", ") + printable(tag);
  return list;
}

// A submission without tags keeps the line it always had.
void print_summary_line(std::ostream& out, const ArchivedSubmission& s) {
  out << s.id << "  " << iso_time(s.received_at) << "  " << shown_status(s.status) << "  "
      << shown_or_dash(s.form_profile) << "  " << shown_or_dash(s.remote_address);
  if (!s.tags.empty()) out << "  [" << tag_list(s.tags) << ']';
  out << '\n';
}

// `, "tags": [...]`; nothing without tags, so such a record reads as it always did.
std::string json_tags(const std::vector<std::string>& tags) {
  if (tags.empty()) return "";
  std::string json = ", \"tags\": [";
  for (std::size_t i = 0; i < tags.size(); ++i) json += (i ? ", " : "") + json_string(tags[i]);
  return json + "]";
}

std::string json_summary(const ArchivedSubmission& s) {
  return "{\"id\": " + json_string(s.id) +
         ", \"received\": " + json_string(iso_time(s.received_at)) +
         ", \"status\": " + json_string(s.status) + ", \"form\": " + json_string(s.form_profile) +
         ", \"remote_address\": " + json_string(s.remote_address) +
         ", \"receipt_number\": " + json_string(s.receipt_number) + json_tags(s.tags);
}

std::string json_record(const ArchivedSubmission& s) {
  std::string json = json_summary(s) + ", \"fields\": [";
  for (std::size_t i = 0; i < s.fields.size(); ++i)
    json += (i ? ", " : "") + std::string("{\"name\": ") + json_string(s.fields[i].first) +
            ", \"value\": " + json_string(s.fields[i].second) + "}";
  json += "], \"uploads\": [";
  for (std::size_t i = 0; i < s.uploads.size(); ++i) {
    const ArchivedUpload& u = s.uploads[i];
    json += (i ? ", " : "") + std::string("{\"field\": ") + json_string(u.field) +
            ", \"name\": " + json_string(u.shown_name) +
            ", \"type\": " + json_string(u.content_type) + ", \"size\": " + std::to_string(u.size) +
            ", \"sha256\": " + json_string(u.sha256) +
            ", \"stored\": " + json_string(u.stored_path) + "}";
  }
  json += "], \"outcomes\": [";
  for (std::size_t i = 0; i < s.outcomes.size(); ++i) {
    const ActionOutcome& o = s.outcomes[i];
    json += (i ? ", " : "") + std::string("{\"action\": ") + json_string(o.action) +
            ", \"result\": " + json_string(o.result) + ", \"at\": " + json_string(iso_time(o.at)) +
            ", \"detail\": " + json_string(o.detail) + "}";
  }
  json += "], \"deliveries\": [";
  for (std::size_t i = 0; i < s.deliveries.size(); ++i) {
    const Delivery& d = s.deliveries[i];
    json += (i ? ", " : "") + std::string("{\"id\": ") + json_string(d.id) +
            ", \"kind\": " + json_string(d.kind) + ", \"target\": " + json_string(shown_target(d)) +
            ", \"status\": " + json_string(d.status) +
            ", \"next_attempt\": " + json_string(iso_time(d.next_attempt)) + ", \"attempts\": [";
    for (std::size_t j = 0; j < d.attempts.size(); ++j)
      json += (j ? ", " : "") + std::string("{\"at\": ") + json_string(iso_time(d.attempts[j].at)) +
              ", \"result\": " + json_string(d.attempts[j].result) +
              ", \"reply\": " + json_string(d.attempts[j].reply) + "}";
    json += "]}";
  }
  return json + "]}";
}

void print_record(std::ostream& out, const ArchivedSubmission& s) {
  out << "Submission " << s.id << "\nReceived: " << iso_time(s.received_at)
      << "\nStatus: " << shown_status(s.status) << "\nForm: " << shown_or_dash(s.form_profile)
      << "\nRemote address: " << shown_or_dash(s.remote_address)
      << "\nReceipt number: " << shown_or_dash(s.receipt_number);
  if (!s.tags.empty()) out << "\nTags: " << tag_list(s.tags);
  out << "\nFields:\n";
  for (const auto& [name, value] : s.fields)
    out << "  " << printable(name) << ": " << printable(value) << '\n';
  if (!s.uploads.empty()) out << "Uploads:\n";
  for (const ArchivedUpload& u : s.uploads) {
    out << "  " << printable(u.shown_name) << " (" << printable(u.content_type) << ", " << u.size
        << " bytes, SHA-256 " << u.sha256 << ")";
    if (!u.stored_path.empty()) out << " kept as " << printable(u.stored_path);
    out << '\n';
  }
  out << "Outcomes:\n";
  for (const ActionOutcome& o : s.outcomes)
    out << "  " << iso_time(o.at) << "  " << o.action << "  " << o.result << "  "
        << printable(o.detail) << '\n';
  if (!s.deliveries.empty()) out << "Deliveries:\n";
  for (const Delivery& d : s.deliveries) {
    out << "  " << d.id << "  " << d.kind << " to " << printable(shown_target(d)) << "  "
        << d.status;
    if (d.status == "pending") out << ", next attempt " << iso_time(d.next_attempt);
    out << '\n';
    for (const DeliveryAttempt& a : d.attempts) {
      out << "    " << iso_time(a.at) << "  " << printable(a.result);
      if (!a.reply.empty()) out << "  " << printable(a.reply);
      out << '\n';
    }
  }
}

int store_failed(std::ostream& err, const std::string& error) {
  err << "velloc: archive not available: " << error << '\n';
  return kArchiveFailed;
}

// The whole records of `ids`, in that order; false (the message written) when
// the store fails.
bool read_records(ArchiveStore& store, const std::vector<std::string>& ids,
                  std::vector<ArchivedSubmission>& records, std::ostream& err) {
  for (const std::string& id : ids) {
    std::optional<ArchivedSubmission> found;
    std::string error;
    if (!store.find(id, &found, &error)) {
      store_failed(err, error);
      return false;
    }
    if (found) records.push_back(std::move(*found));
  }
  return true;
}

int list(const ArchiveOptions& options, ArchiveStore& store, std::ostream& out, std::ostream& err) {
  std::string error;
  auto submissions = store.list(options.filter, &error);
  if (!submissions) return store_failed(err, error);
  if (!options.json) {
    for (const ArchivedSubmission& s : *submissions) print_summary_line(out, s);
    return kArchiveOk;
  }
  // Each with its deliveries and the last reply of each: what became of its mail.
  out << '[';
  for (std::size_t i = 0; i < submissions->size(); ++i) {
    std::optional<ArchivedSubmission> whole;
    if (!store.find((*submissions)[i].id, &whole, &error)) return store_failed(err, error);
    out << (i ? ",\n " : "") << json_summary((*submissions)[i]) << ", \"deliveries\": [";
    const std::vector<Delivery> none;
    const std::vector<Delivery>& deliveries = whole ? whole->deliveries : none;
    for (std::size_t j = 0; j < deliveries.size(); ++j) {
      const Delivery& d = deliveries[j];
      out << (j ? ", " : "") << "{\"id\": " << json_string(d.id)
          << ", \"kind\": " << json_string(d.kind) << ", \"status\": " << json_string(d.status)
          << ", \"reply\": " << json_string(d.attempts.empty() ? "" : d.attempts.back().reply)
          << '}';
    }
    out << "]}";
  }
  out << "]\n";
  return kArchiveOk;
}

int show(const ArchiveOptions& options, ArchiveStore& store, std::ostream& out, std::ostream& err) {
  std::optional<ArchivedSubmission> found;
  std::string error;
  if (!store.find(options.id, &found, &error)) return store_failed(err, error);
  if (!found) {
    err << "velloc: no submission " << printable(options.id) << " in the archive\n";
    return kArchiveFailed;
  }
  if (options.json)
    out << json_record(*found) << '\n';
  else
    print_record(out, *found);
  return kArchiveOk;
}

// A text that stands for itself in "name=value&name=value": "%", "&", "=" and
// control characters as "%XX".
std::string pair_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '%' || c == '&' || c == '=' || byte < 0x20 || byte == 0x7f) {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

// A CSV export: one column per field name, in the order the names first come; a
// name that a submission repeats shows its last value. Past kCsvFieldColumns
// names, those held by the fewest submissions share a last column, "other_fields",
// as name=value pairs in the submission's order.
class CsvExport {
 public:
  CsvExport(std::vector<std::string> names, bool others)
      : names_(std::move(names)), others_(others) {
    for (std::size_t i = 0; i < names_.size(); ++i) column_.emplace(names_[i], i);
    values_.resize(names_.size());
  }

  std::string header() const {
    std::string text =
        "\"id\",\"received\",\"status\",\"form\",\"remote_address\",\"receipt_number\"";
    for (const std::string& name : names_) text += ',' + cell(name);
    if (others_) text += ",\"other_fields\"";
    return text + '\n';
  }

  void add_row(std::string& text, const ArchivedSubmission& s) {
    text += cell(s.id) + ',' + cell(iso_time(s.received_at)) + ',' + cell(s.status) + ',' +
            cell(s.form_profile) + ',' + cell(s.remote_address) + ',' + cell(s.receipt_number);
    std::fill(values_.begin(), values_.end(), std::string_view());
    std::string other;
    for (const auto& field : s.fields) {
      if (auto found = column_.find(field.first); found != column_.end())
        values_[found->second] = field.second;
      else if (others_)
        other.append(other.empty() ? "" : "&")
            .append(pair_text(field.first))
            .append("=")
            .append(pair_text(field.second));
    }
    for (std::string_view value : values_) text += ',' + cell(value);
    if (others_) text += ',' + cell(other);
    text += '\n';
  }

 private:
  // A spreadsheet shows a cell's tabs and line ends as text; other controls escaped.
  static std::string cell(std::string_view value) {
    return escape_value(platform::escape_controls(value, platform::ControlEscape::kTableCell),
                        ValueEscape::kCsv);
  }

  std::vector<std::string> names_;
  bool others_;
  std::unordered_map<std::string_view, std::size_t> column_;
  std::vector<std::string_view> values_;
};

// Deletes the records and then their files; a file already gone counts as
// deleted. Each deleted submission is printed when `print` is set.
int delete_records(ArchiveStore& store, const std::vector<ArchivedSubmission>& records, bool print,
                   std::ostream& out, std::ostream& err) {
  for (std::size_t start = 0; start < records.size(); start += kRemoveBatch) {
    std::vector<std::string> ids;
    for (std::size_t i = start; i < records.size() && i < start + kRemoveBatch; ++i)
      ids.push_back(records[i].id);
    std::string error;
    if (!store.remove(ids, &error)) return store_failed(err, error);
  }
  int status = kArchiveOk;
  for (const ArchivedSubmission& s : records) {
    for (const ArchivedUpload& u : s.uploads) {
      if (u.stored_path.empty()) continue;
      if (unlink(platform::native_path(u.stored_path).c_str()) != 0 && errno != ENOENT) {
        err << "velloc: cannot delete " << printable(u.stored_path) << ": " << std::strerror(errno)
            << '\n';
        status = kArchiveFailed;
      }
    }
    if (print)
      out << "deleted " << s.id << "  " << iso_time(s.received_at) << "  "
          << shown_or_dash(s.form_profile) << "  " << s.fields.size() << " fields, "
          << s.uploads.size() << " uploads, " << s.deliveries.size() << " deliveries\n";
  }
  return status;
}

int purge(ArchiveStore& store, std::int64_t now, std::ostream& out, std::ostream& err) {
  std::string error;
  auto ids = store.expired(now, &error);
  if (!ids) return store_failed(err, error);
  std::vector<ArchivedSubmission> records;
  if (!read_records(store, *ids, records, err)) return kArchiveFailed;
  int status = delete_records(store, records, false, out, err);
  if (status == kArchiveOk) out << "purged " << records.size() << " submissions\n";
  return status;
}

int erase(const ArchiveOptions& options, ArchiveStore& store, StateStore& state, std::ostream& out,
          std::ostream& err) {
  std::string error;
  if (!state.forget_key(receipt_limit_key(options.address), &error) ||
      !state.forget_key(receipts_sent_key(options.address), &error)) {
    err << "velloc: the rate-limit store failed: " << error << '\n';
    return kArchiveFailed;
  }
  auto candidates = store.holding(options.address, &error);
  if (!candidates) return store_failed(err, error);
  std::vector<ArchivedSubmission> records;
  if (!read_records(store, *candidates, records, err)) return kArchiveFailed;
  std::erase_if(records, [&](const ArchivedSubmission& s) {
    for (const auto& field : s.fields)
      if (holds_address(field.second, options.address)) return false;
    return true;
  });
  int status = delete_records(store, records, true, out, err);
  if (status == kArchiveOk)
    out << "erased " << records.size() << " submissions holding " << printable(options.address)
        << '\n';
  return status;
}

}  // namespace

int run_archive_command(const ArchiveOptions& options, ArchiveStore& store, StateStore& state,
                        std::int64_t now, std::ostream& out, std::ostream& err) {
  using Command = ArchiveOptions::Command;
  switch (options.command) {
    case Command::kList:
      return list(options, store, out, err);
    case Command::kShow:
      return show(options, store, out, err);
    case Command::kExport:
      return export_submissions(
          store, options.filter, options.json, [&](std::string&& text) { out << text; }, err);
    case Command::kPurge:
      return purge(store, options.now != 0 ? options.now : now, out, err);
    case Command::kErase:
      return erase(options, store, state, out, err);
    case Command::kRelease:
      break;  // runs the pipeline's actions: release.h
    case Command::kDeliver:
    case Command::kResend:
      break;  // they send: delivery_commands.h
  }
  return kArchiveFailed;
}

int export_submissions(ArchiveStore& store, const SubmissionFilter& filter, bool json,
                       const std::function<void(std::string&&)>& write, std::ostream& err,
                       int page) {
  std::string error;
  std::optional<CsvExport> csv;
  if (!json) {
    bool more = false;
    auto names = store.field_names(filter, kCsvFieldColumns, &more, &error);
    if (!names) return store_failed(err, error);
    csv.emplace(std::move(*names), more);
  }
  write(json ? "[" : csv->header());
  std::optional<ArchivedSubmission> last;
  for (bool first = true;;) {
    auto records = store.records(filter, last ? &*last : nullptr, page, &error);
    if (!records) return store_failed(err, error);
    if (records->empty()) break;
    std::string text;
    for (const ArchivedSubmission& s : *records) {
      if (csv) {
        csv->add_row(text, s);
      } else {
        text += (first ? "" : ",\n ") + json_record(s);
      }
      first = false;
      // Handed on as it grows: the text of a page is never held whole.
      if (text.size() >= kExportPiece) write(std::exchange(text, {}));
    }
    if (!text.empty()) write(std::move(text));
    last = std::move(records->back());
  }
  if (json) write("]\n");
  return kArchiveOk;
}

int erase_submission(ArchiveStore& store, const std::string& id, std::ostream& out,
                     std::ostream& err) {
  std::vector<ArchivedSubmission> records;
  if (!read_records(store, {id}, records, err)) return kArchiveFailed;
  if (records.empty()) {
    err << "velloc: no submission " << printable(id) << " in the archive\n";
    return kArchiveFailed;
  }
  return delete_records(store, records, true, out, err);
}
