// The header file that carries a mail's headers from the mail steps to the SMTP
// session ("Name: value" lines), and the recipient list file that the session
// builds from it. The files belong to the send that made them; the session deletes
// them when it is over. Every function here runs on the session's worker thread
// except the pure parsers.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/mail/mail_message.h"
#include "velloc/mail/session_result.h"

// Sender used when neither the header file nor the settings name one.
inline constexpr char kFallbackSender[] = "velloc@localhost";

struct HeaderPair {
  std::string name;
  std::string value;
};

// The value of a line for the lookup by name, or nullopt when the line holds no
// name or nothing follows the character that ended it.
std::optional<HeaderPair> parse_lookup_line(std::string_view line);

// The pair of one header-file line, or nullopt when the line holds no name.
std::optional<HeaderPair> parse_header_pair(std::string_view line);

// Looks up `name` (any case) in message.header_file; false when the file cannot be
// opened or no line matches.
bool find_header_value(const MailMessage& message, std::string_view name, std::string& value);

// Reads the next pair of an open header file, passing over lines that hold no
// name. False at the end of the file.
bool next_header_pair(std::istream& header_file, std::string& name, std::string& value);

// The envelope sender picked out of a header value: between "<" and ">", from "<"
// to the end when ">" comes first, else the value unchanged.
std::string sender_from_header_value(const std::string& value);

// The addresses of one To/CC/BCC/Hidden-To value, in order.
std::vector<std::string> recipients_from_header_value(std::string_view value);

// The envelope sender for MAIL FROM, cleaned as every envelope address is; one
// too long for SMTP counts as none (never cut). On failure logs and returns false
// with the session's result in *failure.
bool resolve_sender(const MailMessage& message, std::string& sender, SessionResult* failure);

// Writes the recipient list, one address a line, into a new temporary file ("BRN"
// prefix) in temp_dir, or in the system's temporary directory when temp_dir is empty;
// stores the file in message.recipient_list and its path in message.recipient_file.
bool build_recipient_list(MailMessage& message, SessionResult* failure);
