#include "velloc/mail/header_file.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/descriptor_stream.h"
#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/temp_file.h"
#include "platform/text.h"
#include "velloc/guard/address_cleaning.h"
#include "velloc/mail/line_reader.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/request/event_log.h"

namespace {

constexpr std::string_view kLookupDelimiters("\n\r: ", 4);
constexpr std::string_view kPairDelimiters("\n\r: ", 4);
constexpr std::string_view kRecipientHeaders[] = {"TO", "CC", "BCC", "Hidden-To"};

// The text up to the first carriage return or line feed, leading blanks removed.
std::string value_text(std::string_view rest) {
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  std::size_t start = rest.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string() : std::string(rest.substr(start));
}

// Splits `line` at the name that begins after any delimiters; false when none.
bool split_name(std::string_view line, std::string_view delimiters, std::string_view& name,
                std::size_t& name_end) {
  std::size_t start = line.find_first_not_of(delimiters);
  if (start == std::string_view::npos) return false;
  name_end = line.find_first_of(delimiters, start);
  if (name_end == std::string_view::npos) name_end = line.size();
  name = line.substr(start, name_end - start);
  return true;
}

bool is_recipient_header(std::string_view name) {
  for (std::string_view wanted : kRecipientHeaders)
    if (platform::equal_ignoring_case(name, wanted)) return true;
  return false;
}

std::string address_of_piece(std::string_view piece) {
  std::size_t open = piece.find('<');
  std::size_t close = piece.find('>');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open)
    return std::string(piece.substr(open + 1, close - open - 1));
  return std::string(platform::trim(piece));
}

std::string header_value_or_empty(const MailMessage& message, std::string_view name) {
  std::string value;
  find_header_value(message, name, value);
  return value;
}

}  // namespace

std::optional<HeaderPair> parse_lookup_line(std::string_view line) {
  std::string_view name;
  std::size_t name_end = 0;
  if (!split_name(line, kLookupDelimiters, name, name_end)) return std::nullopt;
  if (name_end + 1 >= line.size()) return std::nullopt;
  return HeaderPair{std::string(name), value_text(line.substr(name_end + 1))};
}

std::optional<HeaderPair> parse_header_pair(std::string_view line) {
  std::string_view name;
  std::size_t name_end = 0;
  if (!split_name(line, kPairDelimiters, name, name_end)) return std::nullopt;
  std::string_view rest = name_end < line.size() ? line.substr(name_end + 1) : "";
  return HeaderPair{std::string(name), value_text(rest)};
}

bool find_header_value(const MailMessage& message, std::string_view name, std::string& value) {
  platform::FileReader file(message.header_fd, message.header_file);
  if (!file) return false;
  std::string line;
  while (read_line_piece(file, kMaxFileLine, line)) {
    std::optional<HeaderPair> pair = parse_lookup_line(line);
    if (pair && platform::equal_ignoring_case(pair->name, name)) {
      value = pair->value;
      return true;
    }
  }
  return false;
}

bool next_header_pair(std::istream& header_file, std::string& name, std::string& value) {
  std::string line;
  while (read_line_piece(header_file, kMaxFileLine, line)) {
    std::optional<HeaderPair> pair = parse_header_pair(line);
    if (!pair) continue;
    name = pair->name;
    value = pair->value;
    return true;
  }
  return false;
}

std::string sender_from_header_value(const std::string& value) {
  std::size_t open = value.find('<');
  std::size_t close = value.find('>');
  if (open == std::string::npos || close == std::string::npos) return value;
  if (close > open) return value.substr(open + 1, close - open - 1);
  return value.substr(open);
}

std::vector<std::string> recipients_from_header_value(std::string_view value) {
  std::vector<std::string> addresses;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find_first_of(";,", start);
    if (end == std::string_view::npos) end = value.size();
    std::string address = address_of_piece(value.substr(start, end - start));
    if (!address.empty()) addresses.push_back(address);
    start = end + 1;
  }
  return addresses;
}

bool resolve_sender(const MailMessage& message, std::string& sender, SessionResult* failure) {
  std::string value = header_value_or_empty(message, "X-Sender");
  if (value.empty()) value = header_value_or_empty(message, "From");
  if (value.empty()) value = header_value_or_empty(message, "Hidden-Sender");
  if (!value.empty()) {
    sender = clean_address(sender_from_header_value(value));
  } else {
    sender =
        clean_address(message.default_sender.empty() ? kFallbackSender : message.default_sender);
  }
  if (!address_fits_smtp(sender)) {
    log_event(message, 1, "%s\n", overlong_address_note(sender).c_str());
    sender.clear();
  }
  if (!sender.empty()) return true;
  log_event(message, 1, "Fatal Error: No Sender Specified.\n");
  *failure = SessionResult::kFailed;
  return false;
}

bool build_recipient_list(MailMessage& message, SessionResult* failure) {
  message.recipient_list.reset();
  std::string directory = message.temp_dir.empty() ? message.system_temp_dir : message.temp_dir;
  std::optional<platform::TempFile> made;
  if (temp_directory_allowed(message))
    made = platform::TempFile::create(directory, "BRN", message.temp_files);
  if (!made) {
    log_event(message, 1, "Could not Create temporary file, please specify path for TEMP files.");
    *failure = SessionResult::kNoRecipientList;
    return false;
  }
  message.recipient_file = made->path();
  log_event(message, 15, "VLAPI - TEMP FILE '%s'\n", message.recipient_file.c_str());
  platform::FileReader header(message.header_fd, message.header_file);
  if (!header) {
    log_event(message, 1, "Cannot open Header File.");
    *failure = SessionResult::kFailed;
    return false;
  }
  std::string list;
  std::string name;
  std::string value;
  while (next_header_pair(header, name, value)) {
    if (!is_recipient_header(name)) continue;
    for (const std::string& address : recipients_from_header_value(value)) list += address + '\n';
  }
  // Written and later read only through the descriptor that made the file.
  if (!platform::write_all(made->fd(), list.data(), list.size())) {
    log_event(message, 1, "Could not Open temporary file, please specify path for TEMP files.");
    *failure = SessionResult::kNoRecipientList;
    return false;
  }
  message.recipient_list = std::make_shared<const platform::TempFile>(std::move(*made));
  return true;
}
