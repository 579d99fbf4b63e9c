// What follows a delivery given up (a temporary failure still, after
// DeliveryRetryHours of retries): on every path that gives one up (--deliver, the
// inbox's retry, a web run's mail or webhook call) one notice goes to
// DefaultRecipient and the submission is marked failed. The store and the mail
// settings are the caller's and only used during each call.
#pragma once

#include <cstdint>
#include <string>

#include "velloc/archive/archive_store.h"
#include "velloc/mail/mail_message.h"

// Who the notice goes to and how it is sent.
struct GiveUpNotice {
  const MailMessage& mail;  // the SMTP server, its TLS and login, the clock, the host
  std::string sender;       // DefaultSender
  std::string recipient;    // DefaultRecipient; empty: no notice
  int retry_hours = 72;
};

// Sends the notice of `delivery`, given up because of `why`. False with `*error`
// naming the delivery when it was not sent; true also when there is no recipient.
bool send_given_up_notice(const Delivery& delivery, const std::string& why,
                          const GiveUpNotice& notice, std::string* error);

// Marks the delivery's submission failed at `now`, with an outcome of the
// delivery's kind saying why. False with `*error` set when the store fails.
bool mark_given_up(ArchiveStore& store, const Delivery& delivery, const std::string& why,
                   std::int64_t now, std::string* error);
