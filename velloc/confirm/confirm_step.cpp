#include "velloc/confirm/confirm_step.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>

#include "platform/text.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/archive_store.h"
#include "velloc/archive/archive_text.h"
#include "velloc/archive/release.h"
#include "velloc/confirm/confirm_token.h"
#include "velloc/guard/kept_secret.h"
#include "velloc/guard/receipt_limit.h"
#include "velloc/guard/state_store.h"
#include "velloc/language/visitor_language.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/mail/sender_choice.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/request/html_escape.h"
#include "velloc/response_page.h"
#include "velloc/rules/validation_messages.h"
#include "velloc/run.h"

namespace {

constexpr char kSecretName[] = "confirm";
constexpr int kOk = 200;

Answer notice(int status, std::string heading, std::string message) {
  Answer answer = Answer::of(Answer::Kind::kNotice);
  answer.status = status;
  answer.heading = std::move(heading);
  answer.message = std::move(message);
  return answer;
}

Answer link_notice(int status, const char* message) {
  return notice(status, text::kNotProcessed, message);
}

// The secret the state store keeps for the links, made on first use by whichever
// process comes first; nullopt (logged) when the store cannot give it.
std::optional<std::string> confirm_secret(Run& run, const std::string& state_dsn,
                                          const std::string& settings_file) {
  std::string error;
  std::optional<std::string> kept = kept_site_secret(
      run.site, state_connection_string(state_dsn, settings_file), kSecretName, &error);
  if (!kept) log_event(run.message, 1, "No secret for confirmation links: %s\n", error.c_str());
  return kept;
}

// Where the link points: ConfirmURL, or this handler as the request reached it (its
// server name and port, or else its Host). A name that is not a plain host name
// makes no link.
std::optional<std::string> handler_address(const Run& run) {
  if (!run.settings.confirm_url.empty()) return run.settings.confirm_url;
  std::string host = run.request.get_env("SERVER_NAME");
  if (host.empty()) host = run.request.get_env("HTTP_HOST");
  std::size_t colon = host.rfind(':');
  bool names_port = colon != std::string::npos &&
                    (host.rfind(']') == std::string::npos || colon > host.rfind(']'));
  std::string port = names_port ? "" : run.request.get_env("SERVER_PORT");
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
          c == ':' || c == '[' || c == ']'))
      return std::nullopt;
  if (host.empty()) return std::nullopt;
  bool tls = platform::equal_ignoring_case(run.request.get_env("HTTPS"), "on");
  bool usual_port = port.empty() || port == (tls ? "443" : "80");
  std::string script = run.request.get_env("SCRIPT_NAME");
  for (char c : script)
    if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '<' || c == '>')
      return std::nullopt;
  return (tls ? "https://" : "http://") + host + (usual_port ? "" : ":" + port) + script;
}

// An archive id and a token in the form confirm_token makes: "<seconds>-<64 hex digits>".
bool looks_like_link(const std::string& id, const std::string& token) {
  constexpr std::size_t kMaxId = 64;
  auto plain = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
  std::size_t dash = token.find('-');
  return !id.empty() && id.size() <= kMaxId && std::all_of(id.begin(), id.end(), plain) &&
         dash != std::string::npos && dash > 0 && dash <= 20 && token.size() == dash + 65 &&
         std::all_of(token.begin(), token.end(), plain);
}

std::string confirmation_body(Run& run, const std::string& link) {
  return visitor_text(run, text::kConfirmMailIntro) + "\n\n" + link + "\n\n" +
         visitor_text(run, text::kConfirmMailValid) + " " +
         iso_time(run.confirm_expires_at * 1000) + "\n\n" +
         visitor_text(run, text::kConfirmMailIgnore) + "\n";
}

}  // namespace

bool awaits_confirmation(const Run& run) {
  return run.settings.archive && !run.settings.confirm_field.empty();
}

void check_confirm_address(Run& run) {
  if (!awaits_confirmation(run)) return;
  const std::string& field = run.settings.confirm_field;
  if (is_mail_address(platform::trim(run.request.get_field(field)))) return;
  Answer refusal;
  refusal.reason = Reason::kInvalidFields;
  refusal.field_errors.emplace_back(
      field, visitor_text(run, validation_message_text(ValidationMessage::kEmail)));
  refusal.message =
      "<P>" + visitor_text(run, validation_message_text(ValidationMessage::kHeading)) + "<P>\n" +
      html_escape(field) + ": " + html_escape(refusal.field_errors.front().second) + "<BR>\n";
  fail_request(run.message, std::move(refusal));
}

Answer hold_for_confirmation(Run& run) {
  std::string address(platform::trim(run.request.get_field(run.settings.confirm_field)));
  std::optional<std::string> secret =
      confirm_secret(run, run.settings.state_dsn, run.settings.settings_file);
  std::optional<std::string> handler = handler_address(run);
  if (!handler) log_event(run.message, 1, "No address for the confirmation link: set ConfirmURL\n");
  if (!secret || !handler) fail_request(run.message, text::kNotKept);
  std::string link = *handler + "/confirm?id=" + platform::percent_encode(run.archive_id) +
                     "&token=" + confirm_token(*secret, run.archive_id, run.confirm_expires_at);
  log_event(run.message, 5, "Submission %s awaits confirmation by %s\n", run.archive_id.c_str(),
            address.c_str());
  send_confirmation_mail(run, address, visitor_text(run, text::kConfirmSubject),
                         confirmation_body(run, link));
  return awaiting_confirmation_page(run);
}

Answer awaiting_confirmation_page(Run& run) {
  Answer answer = decide_response_page(run);
  if (answer.kind != Answer::Kind::kConfirmation) return answer;
  return notice(kOk, text::kCheckYourMail, text::kConfirmLinkSent);
}

Answer answer_confirmation(Run& run, const std::string& settings_file) {
  const std::string id = run.request.get_field("id");
  const std::string token = run.request.get_field("token");
  const std::string& state_dsn = run.settings.site->state_dsn;
  std::int64_t now = run.site.clock().unix_milliseconds() / 1000;
  // Only what could be one of our links reaches the stores.
  if (!looks_like_link(id, token)) return link_notice(404, text::kConfirmLinkInvalid);
  std::optional<std::string> secret = confirm_secret(run, state_dsn, settings_file);
  if (!secret) return link_notice(500, text::kUnexpectedFailure);
  switch (check_confirm_token(*secret, id, token, now)) {
    case ConfirmCheck::kForged:
      log_event(run.message, 1, "Confirmation link refused: not a link of submission %s\n",
                id.c_str());
      return link_notice(404, text::kConfirmLinkInvalid);
    case ConfirmCheck::kExpired:
      return link_notice(410, text::kConfirmLinkExpired);
    case ConfirmCheck::kValid:
      break;
  }
  std::string error;
  ArchiveStore* store =
      run.site.archive_store(state_connection_string(state_dsn, settings_file), &error);
  std::optional<ArchivedSubmission> found;
  if (store == nullptr || !store->find(id, &found, &error)) {
    log_event(run.message, 1, "Confirmation of %s: archive failed: %s\n", id.c_str(),
              error.c_str());
    return link_notice(500, text::kUnexpectedFailure);
  }
  if (!found) return link_notice(410, text::kConfirmLinkExpired);  // purged already
  if (found->status != "awaiting") return link_notice(409, text::kConfirmLinkUsed);
  std::ostringstream out, err;
  int taken = confirm_submission(run.site, *store, id, settings_file,
                                 run.request.get_env("SERVER_NAME"), out, err);
  if (taken == kArchiveDoneAlready) return link_notice(409, text::kConfirmLinkUsed);
  if (taken != kArchiveOk) {
    log_event(run.message, 1, "Confirmation of %s: %s", id.c_str(), err.str().c_str());
    return link_notice(500, text::kSendFailed);
  }
  return notice(kOk, text::kSentSuccessfully, text::kConfirmed);
}
