#include "velloc/mail/smtp_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/descriptor_stream.h"
#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/temp_file.h"
#include "velloc/guard/address_cleaning.h"
#include "velloc/mail/byte_sink.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/header_file.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/reply_text.h"
#include "velloc/mail/smtp_connection.h"
#include "velloc/mail/smtp_extensions.h"
#include "velloc/mail/smtp_pool.h"
#include "velloc/request/event_log.h"

namespace {

constexpr int kConnectPollsPerSecond = 40;
constexpr auto kWatchdogPoll = std::chrono::milliseconds(50);
constexpr int kUnitsPerBudget = 1000;
constexpr int kUnitsPerPoll = 20;
constexpr std::string_view kRecipientDelimiters("\n\r<>\": ", 7);

bool resolve_host(const MailMessage& message, const std::string& host, in_addr* address,
                  SmtpConnection& connection) {
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) {
    log_event(message, LogEvent::kMailFailed, 1, "Server name (%s) could not be resolved.\n",
              host.c_str());
    connection.record_failure("the server name " + host + " could not be resolved");
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr;
  freeaddrinfo(answer);
  return true;
}

// HELO as the plain protocol has it (its reply is not judged), or EHLO with TLS and
// the login when the settings ask for them.
bool greet(const MailMessage& message, SmtpConnection& connection, bool* pipelining) {
  if (uses_extended_hello(message)) return extended_hello(message, connection, pipelining);
  log_event(message, 5, "Sending: HELO %s\n", message.local_host.c_str());
  return well_formed(send_command(message, connection, "HELO " + message.local_host + "\r\n"));
}

bool connect_to_server(const MailMessage& message, SmtpConnection& connection) {
  log_event(message, 5, "Connecting to Mail Server (%s)...\n", message.smtp_server.c_str());
  ServerAddress server = parse_server_setting(message.smtp_server, message.smtp_port);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server.port));
  if (!resolve_host(message, server.host, &address.sin_addr, connection)) return false;
  int error = 0;
  int polls = message.connect_timeout * kConnectPollsPerSecond + 1;
  if (!connection.connect_to(address, polls, &error)) {
    log_event(message, LogEvent::kMailFailed, 1,
              "Could not connect to server (%s), port (%d) -- ERROR %d\n", server.host.c_str(),
              static_cast<int>(server.port), error);
    connection.record_failure("could not connect to " + server.host + " port " +
                              std::to_string(server.port) + ": " +
                              std::system_category().message(error));
    return false;
  }
  log_event(message, 5, "Connected!\n");
  return true;
}

// The address of one recipient list line: the first token holding "@", else the
// last token; empty when the line has no token.
std::string address_of_list_line(std::string_view line) {
  std::string last;
  std::size_t start = line.find_first_not_of(kRecipientDelimiters);
  while (start != std::string_view::npos) {
    std::size_t end = line.find_first_of(kRecipientDelimiters, start);
    std::string_view token = line.substr(start, end == std::string_view::npos ? end : end - start);
    if (token.find('@') != std::string_view::npos) return std::string(token);
    last = token;
    start = end == std::string_view::npos ? end : line.find_first_not_of(kRecipientDelimiters, end);
  }
  return last;
}

// The code of a reply's first line; 0 when it has none.
int reply_code(const std::vector<std::string>& lines) {
  if (lines.empty() || lines[0].size() < 3) return 0;
  int code = 0;
  for (char c : std::string_view(lines[0]).substr(0, 3)) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// The reply that decides an attempt: the one that refused it, with its code, or
// the one that accepted the message. A malformed reply's code counts, but its
// text is not taken for a refusal's.
struct Decisive {
  int refusal = 0;
  std::string reply;
  // The end of data went out: the relay may have taken the message, which is
  // therefore never sent again in this attempt.
  bool data_ended = false;
  void refused(const std::vector<std::string>& lines, Reply judged = Reply::kNegative) {
    refusal = reply_code(lines);
    reply = judged == Reply::kNegative ? final_reply_line(lines) : std::string();
  }
};

bool send_sender(const MailMessage& message, SmtpConnection& connection, const std::string& sender,
                 Reply* reply, Decisive* decisive) {
  log_event(message, 15, "Now sending message originator.\n");
  log_event(message, 5, "From: <%s>...\n", sender.c_str());
  std::vector<std::string> lines;
  *reply = send_command(message, connection, "MAIL FROM: <" + sender + ">\r\n", &lines);
  if (*reply == Reply::kNegative) decisive->refused(lines);
  if (*reply == Reply::kPositive) {
    log_event(message, 5, "Success!\n");
    return true;
  }
  if (!well_formed(*reply)) return false;
  log_event(message, 5, "Error!\n");
  log_event(message, LogEvent::kMailFailed, 1, "Error sending mail from user [%s]\n",
            sender.c_str());
  return false;
}

// The envelope recipients of the list, one a line, each line whole.
std::vector<std::string> listed_recipients(const MailMessage& message) {
  int fd = message.recipient_list ? message.recipient_list->fd() : -1;
  platform::FileReader list(fd, message.recipient_file);
  std::vector<std::string> addresses;
  std::string line;
  while (std::getline(list, line)) {
    std::string address = clean_address(address_of_list_line(line));
    if (!address.empty()) addresses.push_back(std::move(address));
  }
  return addresses;
}

// Sends RCPT for each address; false when the conversation cannot go on. An
// address too long for SMTP is passed over. A refusal goes to `*decisive`: a
// temporary one (4xx) is kept over a permanent one.
bool send_recipients(const MailMessage& message, SmtpConnection& connection,
                     const std::vector<std::string>& addresses, int* accepted, Decisive* decisive) {
  for (const std::string& address : addresses) {
    if (!address_fits_smtp(address)) {
      log_event(message, 1, "%s\n", overlong_address_note(address).c_str());
      continue;
    }
    log_event(message, 5, "To: <%s>...\n", address.c_str());
    std::vector<std::string> lines;
    Reply reply = send_command(message, connection, "RCPT TO: <" + address + ">\r\n", &lines);
    if (!well_formed(reply)) return false;
    if (reply == Reply::kPositive) {
      ++*accepted;
      log_event(message, 5, "Success!\n");
    } else {
      if (decisive->refusal / 100 != 4) decisive->refused(lines);
      log_event(message, 5, "Error!\n");
      log_event(message, 1, "Error sending mail to user [%s]\n", address.c_str());
    }
  }
  return true;
}

// The content `write` gives after DATA's go-ahead, and its end. `*decisive` gets
// the reply that refused or accepted the message.
SessionResult send_content(const MailMessage& message, SmtpConnection& connection,
                           const std::function<void(ContentWriter&)>& write, Decisive* decisive) {
  log_event(message, 15, "Message Data Follows:\n");
  ContentWriter content(connection);
  write(content);
  std::vector<std::string> lines;
  decisive->data_ended = true;
  Reply reply = send_command(message, connection, "\r\n.\r\n", &lines);
  if (reply == Reply::kBroken) return SessionResult::kFailed;
  if (reply != Reply::kPositive) {
    decisive->refused(lines, reply);
    log_event(message, LogEvent::kMailFailed, 1,
              "Mail Server Returned Error on EOM (End of Message).\n");
    return SessionResult::kFailed;
  }
  decisive->reply = final_reply_line(lines);
  return SessionResult::kSent;
}

// DATA's reply judged: false (logged) unless it is the go-ahead.
bool data_go_ahead(const MailMessage& message, Reply reply, const std::vector<std::string>& lines,
                   Decisive* decisive) {
  if (reply == Reply::kBroken) return false;
  if (reply == Reply::kPositive) return true;
  decisive->refused(lines, reply);
  log_event(message, LogEvent::kMailFailed, 1, "Mail Server Will Not Accept Message Data.\n");
  return false;
}

// DATA, the content `write` gives, and its end.
SessionResult send_data(const MailMessage& message, SmtpConnection& connection,
                        const std::function<void(ContentWriter&)>& write, Decisive* decisive) {
  std::vector<std::string> lines;
  Reply reply = send_command(message, connection, "DATA\n", &lines);
  if (!data_go_ahead(message, reply, lines, decisive)) return SessionResult::kFailed;
  return send_content(message, connection, write, decisive);
}

// Connection, TLS, greeting and HELO/EHLO (with the login): everything before the
// envelope.
bool open_session(const MailMessage& message, SmtpConnection& connection,
                  bool* pipelining = nullptr) {
  if (!transport_settings_usable(message)) {
    connection.record_failure("the SMTP settings cannot be used");
    return false;
  }
  if (!connect_to_server(message, connection) || !start_implicit_tls(message, connection))
    return false;
  Reply greeting = read_reply(message, connection);
  if (greeting != Reply::kPositive) {
    if (greeting != Reply::kBroken)
      log_event(message, LogEvent::kMailFailed, 1, "Mail Server Not Accepting Messages.");
    return false;
  }
  return greet(message, connection, pipelining);
}

// The envelope and the content, one command at a time: the transaction of one mail.
SessionResult send_transaction(const MailMessage& message, SmtpConnection& connection,
                               const std::string& sender,
                               const std::vector<std::string>& recipients,
                               const std::function<void(ContentWriter&)>& write,
                               Decisive* decisive) {
  Reply reply = Reply::kNegative;
  if (!send_sender(message, connection, sender, &reply, decisive))
    return reply == Reply::kNegative ? SessionResult::kSenderRefused : SessionResult::kFailed;
  int accepted = 0;
  if (!send_recipients(message, connection, recipients, &accepted, decisive))
    return SessionResult::kFailed;
  if (accepted == 0) {
    log_event(message, LogEvent::kMailFailed, 1, "No valid recipients.\n");
    connection.record_failure("no valid recipients");
    return SessionResult::kFailed;
  }
  // The message goes to those accepted: a refused recipient no longer decides
  // whether it is tried again.
  *decisive = Decisive();
  return send_data(message, connection, write, decisive);
}

// The envelope and the content, then QUIT.
SessionResult send_envelope_and_data(const MailMessage& message, SmtpConnection& connection,
                                     const std::string& sender,
                                     const std::vector<std::string>& recipients,
                                     const std::function<void(ContentWriter&)>& write,
                                     Decisive* decisive) {
  SessionResult sent = send_transaction(message, connection, sender, recipients, write, decisive);
  if (sent != SessionResult::kSent) return sent;
  if (!well_formed(send_command(message, connection, "QUIT\r\n"))) return SessionResult::kFailed;
  connection.shutdown_both();
  return SessionResult::kSent;
}

// One session: its own copy of the record and the attachments, and the connection.
struct SessionState {
  MailMessage message;
  std::vector<MailAttachment> attachments;
  SmtpConnection connection;
  // What the session does over the connection.
  std::function<SessionResult(SessionState&)> work;
  // The session reads the mail's files through descriptors of its own.
  ~SessionState() {
    for (int fd : {message.header_fd, message.body_fd})
      if (fd >= 0) close(fd);
    for (const MailAttachment& attachment : attachments)
      if (attachment.fd >= 0) close(attachment.fd);
  }
};

// Writes to a file a buffer at a time; a failed write is remembered and ends
// the writing.
class FileSink : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  void write_bytes(std::string_view bytes) override {
    buffer_.append(bytes);
    if (buffer_.size() >= kBufferBytes) flush();
  }
  // False when any write failed.
  bool flush() {
    if (ok_ && !buffer_.empty()) ok_ = platform::write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
  }

 private:
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  int fd_;
  bool ok_ = true;
  std::string buffer_;
};

int duplicate(int fd) { return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0); }

void delete_file(const std::string& path) {
  if (!path.empty()) std::remove(platform::native_path(path).c_str());
}

// The time a budget allows: as many 50 ms polls as it has units, and one more.
std::chrono::steady_clock::duration budget_time(int budget) {
  long polls = static_cast<long>(budget) * kUnitsPerBudget / kUnitsPerPoll + 1;
  return polls * std::chrono::steady_clock::duration(kWatchdogPoll);
}

// While a session runs, SIGPIPE is held back on its thread (OpenSSL writes without
// MSG_NOSIGNAL); one raised meanwhile is dropped, and the thread's mask restored.
class BrokenPipeHold {
 public:
  BrokenPipeHold() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
  }
  ~BrokenPipeHold() {
    if (sigismember(&previous_, SIGPIPE)) return;
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      timespec now = {0, 0};
      sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  BrokenPipeHold(const BrokenPipeHold&) = delete;
  BrokenPipeHold& operator=(const BrokenPipeHold&) = delete;

 private:
  sigset_t previous_;
};

// MAIL FROM, every RCPT TO and DATA in one write, their replies then read in order
// (RFC 2920); judged and logged as one command at a time would be. An address too
// long for SMTP is passed over.
SessionResult send_transaction_pipelined(const MailMessage& message, SmtpConnection& connection,
                                         const std::string& sender,
                                         const std::vector<std::string>& recipients,
                                         const std::function<void(ContentWriter&)>& write,
                                         Decisive* decisive) {
  std::vector<std::string> listed;
  send_line(connection, "MAIL FROM: <" + sender + ">\r\n");
  for (const std::string& address : recipients) {
    if (!address_fits_smtp(address)) {
      log_event(message, 1, "%s\n", overlong_address_note(address).c_str());
    } else if (send_line(connection, "RCPT TO: <" + address + ">\r\n")) {
      listed.push_back(address);
    }
  }
  send_line(connection, "DATA\r\n");
  log_event(message, 15, "Now sending message originator.\n");
  log_event(message, 5, "From: <%s>...\n", sender.c_str());
  std::vector<std::string> lines;
  Reply from = read_reply(message, connection, &lines);
  if (!well_formed(from)) return SessionResult::kFailed;
  if (from == Reply::kNegative) {
    decisive->refused(lines);
    log_event(message, 5, "Error!\n");
    log_event(message, LogEvent::kMailFailed, 1, "Error sending mail from user [%s]\n",
              sender.c_str());
  } else {
    log_event(message, 5, "Success!\n");
  }
  int accepted = 0;
  for (const std::string& address : listed) {
    log_event(message, 5, "To: <%s>...\n", address.c_str());
    lines.clear();
    Reply reply = read_reply(message, connection, &lines);
    if (!well_formed(reply)) return SessionResult::kFailed;
    if (reply == Reply::kPositive) {
      ++accepted;
      log_event(message, 5, "Success!\n");
    } else {
      if (from == Reply::kPositive && decisive->refusal / 100 != 4) decisive->refused(lines);
      log_event(message, 5, "Error!\n");
      log_event(message, 1, "Error sending mail to user [%s]\n", address.c_str());
    }
  }
  lines.clear();
  Reply data = read_reply(message, connection, &lines);
  if (!well_formed(data)) return SessionResult::kFailed;
  if (from == Reply::kNegative || accepted == 0) {
    // A relay that said go ahead to a message without recipients gets it empty.
    if (data == Reply::kPositive && !well_formed(send_command(message, connection, ".\r\n")))
      return SessionResult::kFailed;
    if (from == Reply::kNegative) return SessionResult::kSenderRefused;
    log_event(message, LogEvent::kMailFailed, 1, "No valid recipients.\n");
    connection.record_failure("no valid recipients");
    return SessionResult::kFailed;
  }
  *decisive = Decisive();
  if (!data_go_ahead(message, data, lines, decisive)) return SessionResult::kFailed;
  return send_content(message, connection, write, decisive);
}

// Whether MAIL FROM goes in one write with the rest: the relay offered it and the
// command fits in a line.
bool pipelines(const KeptConnection& kept, const std::string& sender) {
  return kept.pipelining && wire_line("MAIL FROM: <" + sender + ">\r\n").size() <= kMaxCommandLine;
}

// After a transaction that did not end with the relay's reply to the end of data:
// RSET, so that the connection can carry the next mail. False when it cannot.
bool reset_transaction(const MailMessage& message, SmtpConnection& connection) {
  return send_command(message, connection, "RSET\r\n") == Reply::kPositive;
}

// One try of a stored mail over a connection of the pool: a kept one, or a new one
// opened (and greeted) now. `*lost_before_end` tells whether the connection was
// lost before the end of data went out, when the mail may go again on a new one.
SessionResult try_pooled(const MailMessage& settings, const StoredMail& mail,
                         const std::function<void(ContentWriter&)>& write, SmtpPool& pool,
                         std::chrono::steady_clock::time_point deadline, bool* lost_before_end,
                         MailAttemptResult* attempt) {
  std::string relay = smtp_relay_key(settings);
  SmtpLease lease = pool.take(relay, settings.smtp_connections, deadline);
  if (!lease.granted) {
    attempt->reply = reply_text("no connection to the server came free");
    return SessionResult::kWatchdogExpired;
  }
  bool opened = lease.kept != nullptr;
  if (!opened) {
    lease.kept = std::make_unique<KeptConnection>();
    lease.kept->connection = std::make_unique<SmtpConnection>();
    lease.kept->connection->resume_tls_session(lease.tls_session);
  }
  KeptConnection& kept = *lease.kept;
  SmtpConnection& connection = *kept.connection;
  connection.set_deadline(deadline);
  Decisive decisive;
  SessionResult result = SessionResult::kFailed;
  bool usable = opened || open_session(settings, connection, &kept.pipelining);
  if (!opened && usable) kept.tls_session = connection.tls_session();
  attempt->no_session = !usable;
  if (usable) {
    ++kept.messages;
    result = pipelines(kept, mail.sender)
                 ? send_transaction_pipelined(settings, connection, mail.sender, mail.recipients,
                                              write, &decisive)
                 : send_transaction(settings, connection, mail.sender, mail.recipients, write,
                                    &decisive);
    *lost_before_end = result != SessionResult::kSent && !decisive.data_ended &&
                       connection.lost() && !connection.expired();
    if (result != SessionResult::kSent && !decisive.data_ended && !connection.lost())
      usable = reset_transaction(settings, connection);
  }
  attempt->refusal_code = decisive.refusal;
  attempt->reply = !decisive.reply.empty()         ? decisive.reply
                   : !connection.failure().empty() ? connection.failure()
                                                   : connection.last_reply();
  bool expired = connection.expired();
  pool.give_back(relay, std::move(lease.kept), usable && !connection.lost(),
                 settings.smtp_messages_per_connection);
  return expired ? SessionResult::kWatchdogExpired : result;
}

// The content of a stored mail as it goes in DATA.
std::function<void(ContentWriter&)> stored_content(const MailMessage& settings,
                                                   const StoredMail& mail) {
  return [&settings, &mail](ContentWriter& content) {
    content.write_unchanged(mail.data);
    // A file that cannot be read now leaves the message short; its end is still
    // sent, and the attempt judged by the server's reply and logged.
    if (mail.rest_fd >= 0 &&
        !for_each_piece(mail.rest_fd, mail.rest_offset,
                        [&](std::string_view piece) { content.write_unchanged(piece); }))
      log_event(settings, 1, "The stored mail could not be read whole.\n");
  };
}

// A mail (its envelope in `mail`, its content what `write` gives) through the
// pool: tried again once on a new connection when the one it went over was lost
// before the end of data.
MailAttemptResult send_pooled(const MailMessage& settings, const StoredMail& mail,
                              const std::function<void(ContentWriter&)>& write, SmtpPool& pool,
                              int watchdog_budget) {
  BrokenPipeHold hold;
  auto deadline = std::chrono::steady_clock::now() + budget_time(watchdog_budget);
  MailAttemptResult attempt;
  bool lost_before_end = false;
  attempt.session = try_pooled(settings, mail, write, pool, deadline, &lost_before_end, &attempt);
  if (lost_before_end) {
    log_event(settings, 5, "Connection lost before the end of data; sending on a new one.\n");
    lost_before_end = false;
    attempt = MailAttemptResult();
    attempt.session = try_pooled(settings, mail, write, pool, deadline, &lost_before_end, &attempt);
  }
  if (attempt.session == SessionResult::kWatchdogExpired)
    attempt.reply =
        reply_text("timed out" + (attempt.reply.empty() ? "" : " after: " + attempt.reply));
  return attempt;
}

}  // namespace

SessionResult converse(MailMessage& message, std::span<const MailAttachment> attachments,
                       SmtpConnection& connection) {
  if (!open_session(message, connection)) return SessionResult::kFailed;
  std::string sender;
  SessionResult failure = SessionResult::kFailed;
  if (!resolve_sender(message, sender, &failure)) return failure;
  if (!build_recipient_list(message, &failure)) return failure;
  Decisive decisive;
  return send_envelope_and_data(
      message, connection, sender, listed_recipients(message),
      [&](ContentWriter& content) { write_message_content(message, content, attachments); },
      &decisive);
}

SessionResult converse_stored(const MailMessage& settings, const StoredMail& mail,
                              SmtpConnection& connection, MailAttemptResult* attempt) {
  Decisive decisive;
  std::function<void(ContentWriter&)> write = stored_content(settings, mail);
  attempt->no_session = !open_session(settings, connection);
  SessionResult result = !attempt->no_session
                             ? send_envelope_and_data(settings, connection, mail.sender,
                                                      mail.recipients, write, &decisive)
                             : SessionResult::kFailed;
  attempt->refusal_code = decisive.refusal;
  // Without a reply that decides it: why it failed, or the last the server said.
  attempt->reply = !decisive.reply.empty()         ? decisive.reply
                   : !connection.failure().empty() ? connection.failure()
                                                   : connection.last_reply();
  return result;
}

bool prepare_stored_mail(MailMessage& message, std::span<const MailAttachment> attachments,
                         StoredMail* mail, int data_fd, bool sign_later) {
  bool session_makes_list = message.recipient_file.empty();
  SessionResult failure = SessionResult::kFailed;
  bool ok =
      resolve_sender(message, mail->sender, &failure) && build_recipient_list(message, &failure);
  if (ok) {
    mail->recipients = listed_recipients(message);
    if (data_fd < 0) {
      StringSink sink;
      ContentWriter content(sink);
      write_message_content(message, content, attachments);
      mail->data = std::move(sink.text);
    } else {
      FileSink sink(data_fd);
      ContentWriter content(sink);
      write_message_content(message, content, attachments);
      ok = sink.flush();
      if (!ok) log_event(message, 1, "The mail could not be written to its temporary file.\n");
      mail->data.clear();
      mail->rest_fd = data_fd;
      mail->rest_offset = 0;
    }
    if (ok && !sign_stored_mail(message, mail)) {
      mail->sign_when_sent = sign_later;
      if (sign_later) log_event(message, 1, "The mail is kept, to be signed when it is sent.\n");
      ok = sign_later;
    }
  }
  message.recipient_list.reset();
  if (session_makes_list) message.recipient_file.clear();
  delete_file(message.header_file);
  delete_file(message.body_file);
  return ok;
}

namespace {

// Runs the state's work on the calling thread under the watchdog: every wait on the
// connection ends at the budget's deadline, and a session that reaches it is
// abandoned.
SessionResult run_watched(SessionState& state, int watchdog_budget) {
  BrokenPipeHold hold;
  state.connection.set_deadline(std::chrono::steady_clock::now() + budget_time(watchdog_budget));
  SessionResult result = state.work(state);
  state.message.recipient_list.reset();
  return state.connection.expired() ? SessionResult::kWatchdogExpired : result;
}

// The conversation of run_mail_session through the pool: the content rendered as
// it goes in DATA (again, when the mail goes again on a new connection).
SessionResult run_pooled_session(MailMessage& message, std::span<const MailAttachment> attachments,
                                 int watchdog_budget) {
  StoredMail envelope;
  SessionResult result = SessionResult::kFailed;
  if (resolve_sender(message, envelope.sender, &result) && build_recipient_list(message, &result)) {
    envelope.recipients = listed_recipients(message);
    auto write = [&](ContentWriter& content) {
      write_message_content(message, content, attachments);
    };
    result = send_pooled(message, envelope, write, *message.smtp_pool, watchdog_budget).session;
  }
  message.recipient_list.reset();
  delete_file(message.header_file);
  delete_file(message.body_file);
  return result;
}

}  // namespace

SessionResult run_mail_session(MailMessage& message, std::span<const MailAttachment> attachments,
                               int watchdog_budget) {
  if (message.dkim.wanted()) {
    // A signed mail is made whole, and signed, before the connection is opened.
    std::optional<platform::TempFile> file = make_message_temp_file(message);
    StoredMail mail;
    if (!file || !prepare_stored_mail(message, attachments, &mail, file->fd()))
      return SessionResult::kFailed;
    return run_stored_mail_session(message, mail, watchdog_budget).session;
  }
  if (message.smtp_pool != nullptr)
    return run_pooled_session(message, attachments, watchdog_budget);
  bool session_makes_list = message.recipient_file.empty();
  SessionState state;
  state.message = message;
  state.message.header_fd = duplicate(message.header_fd);
  state.message.body_fd = duplicate(message.body_fd);
  state.attachments.assign(attachments.begin(), attachments.end());
  for (MailAttachment& attachment : state.attachments) attachment.fd = duplicate(attachment.fd);
  state.work = [](SessionState& s) { return converse(s.message, s.attachments, s.connection); };
  SessionResult result = run_watched(state, watchdog_budget);
  delete_file(message.header_file);
  delete_file(message.body_file);
  if (session_makes_list) message.recipient_file = state.message.recipient_file;
  return result;
}

MailAttemptResult run_stored_mail_session(const MailMessage& settings, const StoredMail& mail,
                                          int watchdog_budget) {
  if (settings.smtp_pool != nullptr)
    return send_pooled(settings, mail, stored_content(settings, mail), *settings.smtp_pool,
                       watchdog_budget);
  SessionState state;
  state.message = settings;
  state.message.header_fd = state.message.body_fd = -1;
  state.message.recipient_list.reset();
  MailAttemptResult conversed;
  state.work = [&](SessionState& s) {
    return converse_stored(s.message, mail, s.connection, &conversed);
  };
  SessionResult session = run_watched(state, watchdog_budget);
  // The worker has ended (joined) before `conversed` is read.
  MailAttemptResult attempt = conversed;
  attempt.session = session;
  if (session == SessionResult::kWatchdogExpired)
    attempt.reply =
        reply_text("timed out" + (attempt.reply.empty() ? "" : " after: " + attempt.reply));
  return attempt;
}
