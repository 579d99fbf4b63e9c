// The run's mail record and context: where the current mail's header, body and
// recipient files are, which SMTP server and MIME labels to use, and the log file,
// log level and temporary directory of the run. One record per run, owned by the
// entry point and passed by reference; its copies share the run's open log file and
// own none of the descriptors they hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "velloc/request/event_log.h"

class SmtpPool;

namespace platform {
class TempFile;
class TempFileRegistry;
}  // namespace platform

// Who signs the mail with DKIM (DkimDomain and the rest): the domain, the RSA
// selector and key file, and an optional second Ed25519 selector and key file.
struct DkimSettings {
  std::string domain;
  std::string selector;
  std::string key_file;
  std::string selector_ed25519;
  std::string key_file_ed25519;
  // The mail must be signed: any of the keys is set. Such a mail is never sent unsigned.
  bool wanted() const {
    return !domain.empty() || !selector.empty() || !key_file.empty() || !selector_ed25519.empty() ||
           !key_file_ed25519.empty();
  }
  bool operator==(const DkimSettings&) const = default;
};

// How the connection to the SMTP server is protected (setting SMTP_TLS).
enum class SmtpTls { kNone, kStartTls, kImplicit, kUnknown };

struct MailMessage : LogContext {
  std::string header_file;
  std::string body_file;
  // The open header and body files, read through these when set (-1: by their names).
  // The send that made the files owns the descriptors.
  int header_fd = -1;
  int body_fd = -1;
  // Where the run's temporary files are listed for removal on a termination signal (owned
  // by the entry point); null when nothing lists them.
  platform::TempFileRegistry* temp_files = nullptr;
  std::string recipient_file;
  // The recipient list the session made, read through its descriptor; the file goes
  // when the last copy of the record that holds it does.
  std::shared_ptr<const platform::TempFile> recipient_list;
  std::string smtp_server = "mailhost";
  std::uint32_t smtp_port = 25;
  std::string temp_dir = ".";
  std::string local_host;
  std::string system_temp_dir = "/tmp/";  // for mail files when temp_dir is empty
  std::string default_sender;
  std::int32_t connect_timeout = 30;
  std::string content_type = "text/plain";
  std::string transfer_encoding = "7bit";
  std::string charset = "us-ascii";
  // Transport security and login to the server; none of it is ever logged.
  SmtpTls smtp_tls = SmtpTls::kNone;
  std::string ca_file;  // a private CA instead of the system's trust store
  bool tls_verify = true;
  std::string smtp_user;
  std::string smtp_password;
  bool auth_plaintext = false;  // credentials may go over a connection without TLS
  std::string site_charset;     // the site's character set (CHARSET); empty when not set
  // The connections the process keeps open (the Site's); null: each mail opens
  // and closes its own.
  SmtpPool* smtp_pool = nullptr;
  int smtp_connections = 4;                // at most this many open to the relay
  int smtp_messages_per_connection = 100;  // then the kept connection is closed
  DkimSettings dkim;                       // empty: the mail goes unsigned
};

// Text fields hold at most this many characters.
inline constexpr std::size_t kMaxMailField = 259;

// Sets every field to its default, local_host to this machine's host name (empty
// when it cannot be had) and system_temp_dir to the system's temporary directory.
// Always returns 1.
int init_mail_message(MailMessage& message, const std::string& local_host,
                      const std::string& system_temp_dir);
