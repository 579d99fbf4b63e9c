// The commands that send: --deliver, which takes the due deliveries one by one
// (each claimed first, so that no two senders on any hosts send one twice), sends
// each, and records the attempt; and --resend ID, the form mail of a submission
// again as a new delivery. A delivery retried for DeliveryRetryHours is recorded
// failed, its submission is marked failed and one notice goes to DefaultRecipient.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "velloc/archive/alerts.h"
#include "velloc/archive/archive_options.h"
#include "velloc/archive/archive_store.h"
#include "velloc/mail/mail_message.h"
#include "velloc/webhook/webhook_settings.h"

// What the senders need, read from the settings as a web run reads them.
struct DeliverySettings {
  const MailMessage& mail;  // the SMTP server, its TLS and login, the log
  // The webhook settings of a form profile (empty: none) as they are now;
  // nullopt when the settings have no such profile.
  std::function<std::optional<WebhookSettings>(const std::string& profile)> webhooks_for;
  int retry_hours = 72;
  std::string default_recipient;  // the notice of a delivery given up
  std::string default_sender;
  std::string claimer;              // host and process
  AlertSettings alerts;             // a delivery that ends failed or given up raises one
  MetricsStore* metrics = nullptr;  // the server's counters; none for a command
};

class Site;

// Runs `send` with the mail and webhook settings that a web run reads from
// `settings_file`, as sender `purpose` ("deliver", "inbox"; its claims name it with
// the host and process). No form profile is asked for, so ProfilesOnly does not
// stand in the way. kArchiveFailed, with `err` saying so, when the settings
// cannot be used to send.
int with_delivery_settings(Site& site, const std::string& settings_file, int connect_timeout,
                           const std::string& purpose, std::ostream& err,
                           const std::function<int(const DeliverySettings&)>& send);

// Runs --deliver or --resend at `now` (milliseconds); what it did to `out`.
int run_delivery_command(const ArchiveOptions& options, ArchiveStore& store,
                         const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                         std::ostream& err);

// What a round of deliveries knows of the mail relay: whether it cannot be reached
// now (no session could be opened with it). A sender that knows it leaves the mails
// due and sends only the webhook calls until its back-off ends.
struct RelayState {
  bool unreachable = false;
};

// Takes the deliveries due at `now` one by one, as --deliver does, until none is
// due or `stop()` says so between two; what it did to `out`. kArchiveFailed when
// the store fails. With `relay`, no mail is taken while it says the relay cannot be
// reached, and a mail that finds it so says it there.
int deliver_due(ArchiveStore& store, const DeliverySettings& settings, std::int64_t now,
                const std::function<bool()>& stop, std::ostream& out, std::ostream& err,
                RelayState* relay = nullptr);

// Tries delivery `id` now, whatever its schedule, if it is pending or failed:
// claimed first, so that it is never sent twice. `*submission_id` receives the
// submission it belongs to. kArchiveDoneAlready with `err` saying so when it was
// delivered already or another run is sending it; kArchiveFailed with `err`
// naming why when there is no such delivery or the store fails. A send that
// fails is recorded, not an error.
int retry_delivery(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                   std::int64_t now, std::ostream& out, std::ostream& err,
                   std::string* submission_id);

// --resend ID: the form mail of submission `id` again, as a new delivery; not
// while another form mail of it is being sent (a resend started at the same
// time, say): then kArchiveDoneAlready, and `err` says so.
int resend_form_mail(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                     std::int64_t now, std::ostream& out, std::ostream& err);
