#include "velloc/simulate/simulate_command.h"

#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "velloc/actions.h"
#include "velloc/archive/archive_text.h"
#include "velloc/check/settings_check.h"
#include "velloc/confirm/confirm_step.h"
#include "velloc/guard/content_rules.h"
#include "velloc/guard/honeypot.h"
#include "velloc/guard/referer_check.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/refusal.h"
#include "velloc/response/html_responder.h"
#include "velloc/response/json_responder.h"
#include "velloc/response_page.h"
#include "velloc/rules/form_rules.h"
#include "velloc/rules/rules_step.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"
#include "velloc/templates/template_paths.h"
#include "velloc/webhook/webhook_signature.h"
#include "velloc/webhook/webhook_step.h"

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr char kRefusedRecipient[] = "Recipient Not Allowed!";

// `text` percent-encoded but for the characters a query string keeps as they are.
std::string url_encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  return encoded;
}

// One part of the report: a name and its text, or a list of named verdicts.
struct Section {
  std::string name;
  std::string text;
  std::vector<std::pair<std::string, std::string>> items;
};

struct Report {
  std::vector<Section> sections;
  bool accepted = false;
  Section& add(std::string name, std::string text = "") {
    sections.push_back(Section{std::move(name), std::move(text), {}});
    return sections.back();
  }
};

// The environment of a POST of `content_type` carrying `length` bytes.
std::vector<std::string> environment_of(const std::string& content_type, std::size_t length) {
  return {"REQUEST_METHOD=POST",
          "CONTENT_TYPE=" + content_type,
          "CONTENT_LENGTH=" + std::to_string(length),
          "SERVER_NAME=localhost",
          "REMOTE_ADDR=127.0.0.1",
          "HTTP_ACCEPT=text/html"};
}

bool read_whole(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return true;
}

std::string answer_bytes(const Run& run, const Answer& answer) {
  std::ostringstream out;
  if (run.answer_format == AnswerFormat::kJson)
    write_json_answer(out, answer, run.request);
  else
    write_html_answer(out, answer, run.request, html_content_type(run.settings));
  return out.str();
}

std::string verdict_of_guards(Run& run, Section& guards) {
  const Settings& s = run.settings;
  guards.items.emplace_back("referer", check_referer(run) ? "passed" : "refused");
  std::optional<std::string> refused = refused_recipient(run);
  guards.items.emplace_back("recipients", refused ? "refused (" + *refused + ")" : "allowed");
  guards.items.emplace_back("challenge", s.challenge.kind.empty() ? "off" : "skipped");
  guards.items.emplace_back("captcha", s.captcha.kind.empty() ? "off" : "skipped");
  bool trapped = honeypot_filled(
      s.honeypot_field.empty() ? std::nullopt : std::optional<std::string>(s.honeypot_field),
      run.request);
  guards.items.emplace_back("honeypot", s.honeypot_field.empty() ? "off"
                                        : trapped                ? "spam"
                                                                 : "passed");
  ContentRules rules;
  rules.max_links = s.max_links;
  std::string list;
  if (!s.blocked_words.empty() && read_whole(s.blocked_words, &list))
    rules.blocked_words = BlockedWords::parse(list);
  std::string broken = content_rule_broken(run.request.fields, rules);
  guards.items.emplace_back("content rules", !rules.max_links && rules.blocked_words.empty() ? "off"
                                             : broken.empty() ? "passed"
                                                              : "spam (" + broken + ")");
  guards.items.emplace_back(
      "rate limits", s.rate_limit.empty() && s.receipt_rate_limit.empty() ? "off" : "not counted");
  guards.items.emplace_back("spam filter", s.spam_check.empty() ? "off" : "skipped");
  if (refused) return "recipient";
  return trapped || !broken.empty() ? "spam" : "";
}

void report_webhooks(Run& run, Report& report) {
  const WebhookSettings& webhooks = run.settings.webhooks;
  if (webhooks.urls.empty()) return;
  std::int64_t now = run.site.clock().unix_seconds();
  std::string error;
  std::optional<std::string> body = webhook_body(run, now, &error);
  Section& section = report.add("webhook", body.value_or("(" + error + ")"));
  for (const std::string& url : webhooks.urls) section.items.emplace_back("call", url);
  const OpenSslApi* tls = openssl_api(&error);
  if (body && !webhooks.secret.empty() && tls)
    for (auto& header : signature_headers(*tls, webhooks.secret, now, *body))
      section.items.push_back(std::move(header));
}

std::string purge_date(const Run& run) {
  if (!run.settings.archive) return "not archived";
  if (awaits_confirmation(run))
    return iso_time(run.site.clock().unix_milliseconds() +
                    run.settings.confirm_hours * kMsPerDay / 24) +
           " unless confirmed";
  if (run.settings.keep_submissions_days == 0) return "kept until erased";
  std::int64_t until =
      run.site.clock().unix_milliseconds() + run.settings.keep_submissions_days * kMsPerDay;
  return iso_time(until);
}

// The steps of a form's room, as a real run takes them, with their effects left out.
void simulate_steps(Run& run, Report& report, const std::string& refused_by) {
  resolve_template_paths(run);
  check_required_fields(run);
  check_field_rules(run);
  check_confirm_address(run);
  Section& rules_section = report.add("rules");
  if (refused_by == "spam") {
    report.add("spam", "answered as accepted; kept as spam when archived, nothing sent");
    throw RunEnded{decide_response_page(run)};
  }
  if (run.settings.rules) {
    rules::RuleDecision decision = rules::decide_rules(
        *run.settings.rules,
        [&run](const std::string& name) { return run.request.get_field(name); });
    for (const rules::Rule* rule : decision.matched)
      rules_section.items.emplace_back(rule->key, rule->text);
    for (const std::string& name : decision.unknown_webhooks)
      rules_section.items.emplace_back("webhook " + name, "left out: not in [Webhooks]");
  }
  apply_form_rules(run);
  report.add("recipients", std::string(run.request.field_text("RECIPIENT")));
  std::string tags;
  for (const std::string& tag : run.tags) tags += (tags.empty() ? "" : ", ") + tag;
  if (!tags.empty()) report.add("tags", tags);
  if (!run.request.field_is_set("DISABLE_MAIL")) report.add("form mail", form_mail_text(run));
  if (run.request.field_is_set("DO_RECEIPT")) report.add("receipt", receipt_text(run));
  report_webhooks(run, report);
  report.accepted = true;
  if (awaits_confirmation(run)) {
    report.add("confirmation",
               "held until " +
                   std::string(platform::trim(run.request.get_field(run.settings.confirm_field))) +
                   " opens the mailed link (valid " + std::to_string(run.settings.confirm_hours) +
                   " hours); the mail, receipt and webhooks above are sent then");
    throw RunEnded{awaiting_confirmation_page(run)};
  }
  throw RunEnded{decide_response_page(run)};
}

void simulate(Run& run, Report& report) {
  if (!run.settings.rules || run.settings.rules->checks.empty()) {
    report.add("validation", "no checks");
  } else {
    std::vector<rules::FieldError> errors = rules::validate_fields(
        *run.settings.rules,
        [&run](const std::string& name) { return run.request.get_field(name); });
    Section& section = report.add("validation", errors.empty() ? "passed" : "failed");
    for (const rules::FieldError& error : errors)
      section.items.emplace_back(error.field, error.english());
  }
  std::string refused_by = verdict_of_guards(run, report.add("guards"));
  if (refused_by == "recipient") fail_request(run.message, kRefusedRecipient, Reason::kRecipient);
  simulate_steps(run, report, refused_by);
}

void write_text(std::ostream& out, const Report& report) {
  for (const Section& section : report.sections) {
    out << "== " << section.name;
    bool block = section.text.find('\n') != std::string::npos;
    if (!section.text.empty() && !block) out << ": " << section.text;
    out << '\n';
    for (const auto& [name, value] : section.items) out << "  " << name << ": " << value << '\n';
    if (block) out << section.text << (section.text.back() == '\n' ? "" : "\n");
  }
}

void write_json(std::ostream& out, const Report& report) {
  out << "{\"accepted\": " << (report.accepted ? "true" : "false");
  for (const Section& section : report.sections) {
    out << ", " << json_text(section.name) << ": ";
    if (section.items.empty()) {
      out << json_text(section.text);
      continue;
    }
    out << "{\"text\": " << json_text(section.text) << ", \"items\": [";
    for (std::size_t i = 0; i < section.items.size(); ++i)
      out << (i ? ", " : "") << "[" << json_text(section.items[i].first) << ", "
          << json_text(section.items[i].second) << "]";
    out << "]}";
  }
  out << "}\n";
}

}  // namespace

bool is_simulate_command_line(const std::vector<std::string>& arguments) {
  return !arguments.empty() && arguments[0] == "simulate";
}

std::optional<SimulateOptions> parse_simulate_options(const std::vector<std::string>& arguments,
                                                      std::string* error) {
  SimulateOptions options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool has_value = i + 1 < arguments.size() && !arguments[i + 1].starts_with("--");
    std::string* slot =
        argument == "--profile"    ? &options.profile
        : argument == "--query"    ? &options.query
        : argument == "--settings" ? &options.settings_file
        : argument == "--json" && has_value && options.json_file.empty() && options.query.empty()
            ? &options.json_file
            : nullptr;
    if (argument == "--json" && !slot) {
      options.json = true;
    } else if (!slot) {
      *error = "unknown option for simulate: " + argument;
      return std::nullopt;
    } else if (!has_value) {
      *error = argument + " wants a value";
      return std::nullopt;
    } else {
      *slot = arguments[++i];
    }
  }
  if (options.profile.empty() || options.query.empty() == options.json_file.empty()) {
    *error = "simulate wants --profile NAME and one of --query TEXT or --json FILE";
    return std::nullopt;
  }
  return options;
}

std::string simulate_usage() {
  return "A submission simulated, nothing stored, sent or called:\n"
         "  simulate --profile NAME (--query 'a=b&...' | --json FILE) [--settings PATH] "
         "[--json]\n";
}

int run_simulation(Site& site, const SimulateOptions& options, const std::string& settings_file,
                   std::ostream& out) {
  Run run(site);
  run.dry_run = true;
  std::string body;
  std::string content_type = "application/x-www-form-urlencoded";
  if (!options.json_file.empty()) {
    content_type = "application/json";
    if (!read_whole(options.json_file, &body)) {
      out << "velloc: cannot read " << options.json_file << '\n';
      return 2;
    }
  } else {
    body = options.query;
  }
  body = (options.json_file.empty() ? "FORM_PROFILE=" + url_encoded(options.profile) + "&"
                                    : std::string()) +
         body;
  std::vector<std::string> environment = environment_of(content_type, body.size());
  std::vector<const char*> block;
  for (const std::string& entry : environment) block.push_back(entry.c_str());
  block.push_back(nullptr);
  std::istringstream in(body);
  Report report;
  Answer answer;
  try {
    init_request(run.request, block.data(), in, ", ");
    if (!options.json_file.empty()) run.request.set_field("FORM_PROFILE", options.profile);
    load_settings_from(run, settings_file);
    report.add("profile", options.profile);
    simulate(run, report);
  } catch (const RunEnded& ended) {
    answer = ended.answer;
  } catch (const std::exception& failure) {
    out << "velloc: " << failure.what() << '\n';
    return 2;
  }
  report.add("response", answer_bytes(run, answer));
  report.add("purge", report.accepted ? purge_date(run) : "not archived");
  if (options.json)
    write_json(out, report);
  else
    write_text(out, report);
  return report.accepted ? 0 : 1;
}
