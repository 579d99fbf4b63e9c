// What an accepted submission does, and the check of its form mail's recipients
// that comes before anything is stored or sent.
#pragma once

#include <optional>
#include <string>

struct Run;

// The actions of an accepted submission, in order: database record, text export,
// form mail, receipt, webhooks; those in run.actions_done are left out. A failing
// one ends the run (RunEnded).
void run_actions(Run& run);

// The first address of the form mail's recipients (RECIPIENT) that the settings
// do not allow: DefaultRecipient, AllowedRecipients, else the domain of the
// request's SERVER_NAME; nullopt when all are allowed or no form mail is sent.
std::optional<std::string> refused_recipient(const Run& run);
