#include "velloc/doctor/relay_probe.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <system_error>

#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/mail/base64.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/message_identity.h"
#include "velloc/mail/reply_text.h"
#include "velloc/mail/smtp_connection.h"

namespace {

using Status = DoctorVerdict::Status;
using Lines = std::vector<std::string>;
constexpr auto kConversationBound = std::chrono::seconds(20);
constexpr int kConnectPolls = 10 * 40;  // 10 s of 25 ms polls
constexpr std::uint32_t kSmtpPort = 25;
constexpr std::uint32_t kSmtpsPort = 465;

std::string last_line(const Lines& lines) { return lines.empty() ? "(no reply)" : lines.back(); }

// The words of each capability line after its code, in upper case.
std::vector<std::vector<std::string>> capability_words(const Lines& lines) {
  std::vector<std::vector<std::string>> words;
  for (const std::string& line : lines) {
    std::string text = line.size() > 4 ? line.substr(4) : "";
    for (char& c : text)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    words.push_back(platform::split_at(text, " ="));
  }
  return words;
}

bool offers(const Lines& lines, std::string_view wanted) {
  for (const std::vector<std::string>& words : capability_words(lines))
    if (!words.empty() && words[0] == wanted) return true;
  return false;
}

bool offers_mechanism(const Lines& lines, std::string_view mechanism) {
  for (const std::vector<std::string>& words : capability_words(lines))
    if (!words.empty() && words[0] == "AUTH" &&
        std::find(words.begin() + 1, words.end(), mechanism) != words.end())
      return true;
  return false;
}

std::string password_of(const settings::SiteSettings& site) {
  if (site.smtp_password_file.empty()) return site.smtp_password;
  std::ifstream file(platform::native_path(site.smtp_password_file), std::ios::binary);
  std::string password;
  std::getline(file, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

class Probe {
 public:
  Probe(const settings::SiteSettings& site, DnsLookup& dns, const std::string& send_to)
      : site_(site), dns_(dns), send_to_(send_to) {
    ServerAddress server = parse_server_setting(
        site.smtp_server, site.tls == settings::Tls::kImplicit ? kSmtpsPort : kSmtpPort);
    report_.host = server.host;
    port_ = server.port;
    log_.log_file = "NUL";
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) log_.local_host = name;
  }
  RelayReport run();

 private:
  void add(const char* check, Status status, std::string reason) {
    report_.verdicts.push_back({check, status, std::move(reason)});
  }
  std::string shown() const {
    return report_.host + (report_.host == report_.address ? "" : " (" + report_.address + ")") +
           " port " + std::to_string(port_);
  }
  bool resolve();
  bool connect_and_greet();
  bool start_tls(const Lines& capabilities);
  bool ehlo(Lines* capabilities);
  void log_in(const Lines& capabilities);
  void send_test_mail();
  bool send(const std::string& line, Lines* lines) {
    lines->clear();
    return send_command(log_, connection_, line, lines, kMaxAuthLine) == Reply::kPositive;
  }

  const settings::SiteSettings& site_;
  DnsLookup& dns_;
  const std::string& send_to_;
  std::uint32_t port_ = kSmtpPort;
  MailMessage log_;  // logs nowhere: the conversation's words go into the verdicts
  SmtpConnection connection_;
  RelayReport report_;
  bool tls_active_ = false;
};

bool Probe::resolve() {
  in_addr address;
  if (inet_pton(AF_INET, report_.host.c_str(), &address) == 1) {
    report_.address = report_.host;
    return true;
  }
  DnsAnswer answer = dns_.ask(report_.host, DnsType::kA);
  if (answer.status == DnsAnswer::Status::kFound) {
    report_.address = answer.records.front();
    return true;
  }
  add("relay", Status::kFail,
      "SMTP=" + site_.smtp_server + ": the relay's name " +
          (answer.status == DnsAnswer::Status::kFailed
               ? "could not be looked up (" + answer.error + ")"
               : "has no IPv4 address") +
          ": correct SMTP, or the name's A record");
  return false;
}

bool Probe::connect_and_greet() {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  inet_pton(AF_INET, report_.address.c_str(), &address.sin_addr);
  connection_.set_deadline(std::chrono::steady_clock::now() + kConversationBound);
  int error = 0;
  if (!connection_.connect_to(address, kConnectPolls, &error)) {
    add("relay", Status::kFail,
        "cannot connect to " + shown() + ": " + std::system_category().message(error) +
            ": correct SMTP, or let this host reach the relay");
    return false;
  }
  if (site_.tls == settings::Tls::kImplicit && !start_tls({})) return false;
  Lines lines;
  Reply reply = read_reply(log_, connection_, &lines);
  if (reply != Reply::kPositive) {
    add("relay", Status::kFail, shown() + " does not greet as a mail server: " + last_line(lines));
    return false;
  }
  add("relay", Status::kPass, shown() + " answers: " + last_line(lines));
  return true;
}

// STARTTLS (unless the connection is under TLS from its first byte) and the
// handshake, checking the certificate against the relay's name whatever
// SMTP_TLS_VERIFY says.
bool Probe::start_tls(const Lines& capabilities) {
  bool implicit = site_.tls == settings::Tls::kImplicit;
  if (!implicit) {
    if (!offers(capabilities, "STARTTLS")) {
      bool wanted = site_.tls == settings::Tls::kStartTls;
      add("starttls", wanted ? Status::kFail : Status::kWarn,
          shown() + " does not offer STARTTLS: " +
              (site_.smtp_user.empty() ? "the mail crosses" : "the mail and the password cross") +
              " the network in the clear; use a relay that offers it");
      return !wanted;
    }
    Lines lines;
    if (!send("STARTTLS\r\n", &lines)) {
      add("starttls", Status::kFail, shown() + " refuses STARTTLS: " + last_line(lines));
      return false;
    }
  }
  std::string reason;
  if (!connection_.start_tls({report_.host, site_.smtp_ca_file, true, nullptr}, &reason)) {
    add("starttls", Status::kFail,
        "the TLS handshake with " + shown() + " failed (" + reason +
            "): the relay needs a certificate valid for " + report_.host +
            (site_.smtp_ca_file.empty() ? "" : " signed by SMTP_CA_FILE's CA") +
            ", or SMTP must name the relay as its certificate does");
    return false;
  }
  tls_active_ = true;
  std::string offered = std::string(implicit ? "TLS from the first byte" : "offers STARTTLS") +
                        ", with a certificate valid for " + report_.host;
  if (site_.tls == settings::Tls::kNone)
    add("starttls", Status::kWarn,
        offered + ", but SMTP_TLS=none sends the mail in the clear: set SMTP_TLS=starttls");
  else
    add("starttls", Status::kPass, offered);
  return true;
}

bool Probe::ehlo(Lines* capabilities) {
  std::string name = log_.local_host.empty() ? "localhost" : log_.local_host;
  if (send("EHLO " + name + "\r\n", capabilities)) return true;
  add("relay", Status::kFail, shown() + " refuses EHLO: " + last_line(*capabilities));
  return false;
}

void Probe::log_in(const Lines& capabilities) {
  if (site_.smtp_user.empty()) {
    add("auth", Status::kPass, "no login configured (SMTP_USER is empty): skipped");
    return;
  }
  if (!tls_active_ && !site_.auth_plaintext) {
    add("auth", Status::kFail,
        "the login would cross the network in the clear, which velloc refuses: set "
        "SMTP_TLS=starttls (or tls), or SMTP_AUTH_PLAINTEXT=1 for a relay on loopback");
    return;
  }
  std::string password = password_of(site_);
  Lines lines;
  bool sent = false;
  if (offers_mechanism(capabilities, "PLAIN")) {
    sent = send("AUTH PLAIN " +
                    base64_text(std::string(1, '\0') + site_.smtp_user + '\0' + password) + "\r\n",
                &lines);
  } else if (offers_mechanism(capabilities, "LOGIN")) {
    sent = send("AUTH LOGIN\r\n", &lines) && send(base64_text(site_.smtp_user) + "\r\n", &lines) &&
           send(base64_text(password) + "\r\n", &lines);
  } else {
    add("auth", Status::kFail,
        shown() + " offers neither AUTH PLAIN nor AUTH LOGIN" +
            (connection_.abandoned() ? "" : " here (some relays offer them only under TLS)"));
    return;
  }
  if (sent && !lines.empty() && lines.back().starts_with("235")) {
    add("auth", Status::kPass, "the relay accepts the login of " + site_.smtp_user);
    return;
  }
  add("auth", Status::kFail,
      "the relay refuses the login of " + site_.smtp_user + ": " + last_line(lines) +
          ": check SMTP_USER and SMTP_PASSWORD (or SMTP_PASSWORD_FILE)");
}

void Probe::send_test_mail() {
  std::string id = new_message_id(log_.local_host);
  Lines lines;
  std::string mail = "From: " + site_.default_sender + "\r\nTo: " + send_to_ +
                     "\r\nSubject: velloc doctor test\r\nDate: " + mail_date(std::time(nullptr)) +
                     "\r\nMessage-ID: " + id +
                     "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
                     "A test mail of velloc doctor: the site's mail reaches this mailbox.\r\n";
  // Signed as the site's mail is, so that the mailbox shows what its mail will carry.
  DkimSettings dkim{site_.dkim_domain, site_.dkim_selector, site_.dkim_key_file,
                    site_.dkim_selector_ed25519, site_.dkim_key_file_ed25519};
  std::string signatures, error;
  if (dkim.wanted() && !dkim_signature_fields(dkim, mail, -1, 0, &signatures, &error)) {
    add("send", Status::kFail, "the test mail could not be signed: " + error);
    return;
  }
  std::string data = signatures + mail + ".\r\n";
  bool accepted = send("MAIL FROM:<" + site_.default_sender + ">\r\n", &lines) &&
                  send("RCPT TO:<" + send_to_ + ">\r\n", &lines) && send("DATA\r\n", &lines) &&
                  send(data, &lines);
  if (accepted)
    add("send", Status::kPass, "Message-ID " + id + " to " + send_to_ + ": " + last_line(lines));
  else
    add("send", Status::kFail,
        "the relay did not take the test mail to " + send_to_ + ": " + last_line(lines));
}

RelayReport Probe::run() {
  if (!resolve() || !connect_and_greet()) return std::move(report_);
  Lines capabilities;
  if (!ehlo(&capabilities)) return std::move(report_);
  bool secure = site_.tls == settings::Tls::kImplicit;
  if (!secure) {
    if (!start_tls(capabilities)) return std::move(report_);
    if (offers(capabilities, "STARTTLS") && !ehlo(&capabilities)) return std::move(report_);
  }
  log_in(capabilities);
  if (!send_to_.empty()) send_test_mail();
  Lines lines;
  send("QUIT\r\n", &lines);
  return std::move(report_);
}

}  // namespace

RelayReport probe_relay(const settings::SiteSettings& site, DnsLookup& dns,
                        const std::string& send_to) {
  return Probe(site, dns, send_to).run();
}
