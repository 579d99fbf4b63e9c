// The commands that send: --deliver, which takes the due deliveries one by one
// (each claimed first, so that no two senders on any hosts send one twice), sends
// each, and records the attempt; and --resend ID, the form mail of a submission
// again as a new delivery. A delivery retried for DeliveryRetryHours is recorded
// failed and one notice goes to DefaultRecipient.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "velloc/archive/archive_options.h"
#include "velloc/archive/archive_store.h"
#include "velloc/mail/mail_message.h"
#include "velloc/webhook/webhook_settings.h"

// What the senders need, read from the settings as a web run reads them.
struct DeliverySettings {
  const MailMessage& mail;  // the SMTP server, its TLS and login, the log
  const WebhookSettings& webhooks;
  int retry_hours = 72;
  std::string default_recipient;  // the notice of a delivery given up
  std::string default_sender;
  std::string claimer;  // host and process
};

// Runs --deliver or --resend at `now` (milliseconds); what it did to `out`.
int run_delivery_command(const ArchiveOptions& options, ArchiveStore& store,
                         const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                         std::ostream& err);

// Tries delivery `id` now, whatever its schedule, if it is pending or failed:
// claimed first, so that it is never sent twice. `*submission_id` receives the
// submission it belongs to. kArchiveFailed with `err` naming why when it cannot
// be claimed or the store fails; a send that fails is recorded, not an error.
int retry_delivery(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                   std::int64_t now, std::ostream& out, std::ostream& err,
                   std::string* submission_id);

// --resend ID: the form mail of submission `id` again, as a new delivery.
int resend_form_mail(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                     std::int64_t now, std::ostream& out, std::ostream& err);
