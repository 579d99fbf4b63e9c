#include "velloc/storage/text_export.h"

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/file_lock.h"
#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/temp_file.h"
#include "velloc/archive/archive_step.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/storage/upload_folder.h"
#include "velloc/templates/text_files.h"
#include "velloc/templates/value_escape.h"

namespace {

constexpr char kTemplatesSection[] = "TEMPLATES";
constexpr char kCannotOpenFile[] = "VLTXT: Could not open WorkFile Template File: %s\n";
constexpr char kCannotWriteFile[] = "VLTXT: Could not write to \"%s\"\n";

// The files named by one text-file template, each resolved against its
// directory.
struct ExportFiles {
  std::string header;
  std::string detail;
  std::string footer;
  std::string work_file;
  std::string destination;
  ValueEscape escape = ValueEscape::kNone;  // how DETAIL writes values (ESCAPE)
  std::string upload_folder;
};

ExportFiles read_export_files(platform::IniFiles& ini, const std::string& template_path) {
  auto resolved = [&](const char* key) {
    std::string value = ini.read_string(template_path, kTemplatesSection, key, "");
    return resolve_relative_path(value, template_path);
  };
  ExportFiles files;
  files.header = resolved("HEADER");
  files.detail = resolved("DETAIL");
  files.footer = resolved("FOOTER");
  files.work_file = resolved("WORKFILE");
  files.destination = resolved("DESTINATION");
  files.escape =
      parse_value_escape(ini.read_string(template_path, kTemplatesSection, "ESCAPE", ""));
  files.upload_folder = resolved("UPLOAD_FOLDER");
  return files;
}

// Logs which of the two files of an append did not open; returns the failures.
int report_unopened(const MailMessage& context, const std::string& detail, bool detail_opened,
                    const std::string& output, bool output_opened) {
  int failures = 0;
  if (!detail_opened) {
    log_event(context, 1, kCannotOpenFile, detail.c_str());
    ++failures;
  }
  if (!output_opened) {
    log_event(context, 1, kCannotOpenFile, output.c_str());
    ++failures;
  }
  return failures;
}

// Expands DETAIL and appends it to `output` as one record, written whole or not at all,
// through `output_fd` when that holds the output open. Returns the failures counted.
int append_record(Run& run, const ExportFiles& files, const std::string& output,
                  int output_fd = -1) {
  std::ifstream in;
  if (!open_text_for_reading(files.detail, in)) {
    // The output is still made, as when the record could have been written.
    bool output_opened = append_text(output, "") == TextWrite::kWritten;
    return report_unopened(run.message, files.detail, false, output, output_opened);
  }
  std::ostringstream record;
  expand_template(in, record, run.request, run.template_state, files.escape);
  TextWrite result;
  {
    // A run told to end meanwhile ends once the record is written whole (or taken back).
    platform::TempFileRegistry::EndingHold hold(run.site.temp_files());
    result = output_fd >= 0 ? append_text_at(output_fd, record.str())
                            : append_text(output, record.str());
  }
  if (result == TextWrite::kWritten) return 0;
  log_event(run.message, 1, result == TextWrite::kNotOpened ? kCannotOpenFile : kCannotWriteFile,
            output.c_str());
  return 1;
}

// Rewrites the destination as header, every record of the work file, footer. A destination
// that cannot be made is passed over; one refused as unsafe or not written in full is a
// failure.
int rebuild_destination(const MailMessage& context, const ExportFiles& files) {
  if (files.destination.empty()) return 0;
  std::ostringstream destination;
  int failures = 0;
  if (!files.header.empty() && !copy_text_file(context, "HEADER", files.header, destination)) {
    ++failures;
  }
  std::ifstream records;
  if (open_text_for_reading(files.work_file, records)) copy_text_pieces(records, destination);
  if (!files.footer.empty() && !copy_text_file(context, "FOOTER", files.footer, destination)) {
    ++failures;
  }
  TextWrite result = replace_text(files.destination, destination.str());
  if (result == TextWrite::kWritten) return failures;
  if (result == TextWrite::kNotOpened && !refused_as_unsafe(errno)) return 0;
  log_event(context, 1, kCannotWriteFile, files.destination.c_str());
  return failures + 1;
}

int export_through_work_file(Run& run, const ExportFiles& files) {
  int failures = append_record(run, files, files.work_file);
  if (failures > 0) return failures;
  return rebuild_destination(run.message, files);
}

// The file whose lock serialises the export: the one every run appends to.
std::string lock_target(const ExportFiles& files) {
  const std::string& appended = files.work_file.empty() ? files.destination : files.work_file;
  return appended.empty() ? std::string() : platform::native_path_for_create(appended);
}

}  // namespace

bool copy_text_file(const MailMessage& context, const char* key_name, const std::string& path,
                    std::ostream& out) {
  std::ifstream in;
  if (!open_text_for_reading(path, in)) {
    log_event(context, 1, "VLTXT: Could not open \"%s\" for Text processing as (%s)\n",
              path.c_str(), key_name);
    return false;
  }
  copy_text_pieces(in, out);
  return true;
}

bool export_text_file(Run& run) {
  if (run.request.field_is_blank("TEMPLATE_TEXTFILE")) return true;
  ActionRecord outcome(run, "text_export");
  const std::string& template_path = run.templates.textfile_template;
  if (!can_open_for_reading(template_path)) {
    log_event(run.message, 1, "Could not open Textfile Template File: %s\n", template_path.c_str());
    return false;
  }
  ExportFiles files = read_export_files(run.site.settings_files(), template_path);
  int failures = files.upload_folder.empty() ? 0 : save_uploads(run, files.upload_folder);
  std::string lock_path = lock_target(files);
  std::optional<platform::FileLock> lock;
  if (!lock_path.empty()) lock.emplace(lock_path);
  // The lock holds the destination open for appending: the record goes through it.
  int destination_fd = lock ? lock->fd() : -1;
  failures += files.work_file.empty() ? append_record(run, files, files.destination, destination_fd)
                                      : export_through_work_file(run, files);
  return outcome.finish(failures == 0, "record written");
}
