// Confirmed sign-ups: a form with ConfirmField (and Archive=1) keeps its submission
// "awaiting" in the archive and mails the visitor a link; the actions run only when
// that link is opened, once, before it expires. What was never confirmed is purged
// with the archive's other expired submissions.
#pragma once

#include <string>

#include "velloc/answer.h"

struct Run;

// Whether the run's submission waits for its visitor's confirmation (ConfirmField, with
// Archive=1 to keep it while it waits).
bool awaits_confirmation(const Run& run);

// Before anything is kept: refuses the submission as an invalid field when the run
// awaits confirmation and ConfirmField holds no single mail address.
void check_confirm_address(Run& run);

// After the archive kept the submission "awaiting": mails the link to the address in
// ConfirmField (through the receipts' limits), and decides the visitor's answer: the
// form's own page, or instead of the built-in confirmation page one that asks the
// visitor to open the mailed link.
Answer hold_for_confirmation(Run& run);

// The visitor's answer to a submission held for confirmation: the form's own page, or
// instead of the built-in confirmation page one that asks the visitor to open the link.
Answer awaiting_confirmation_page(Run& run);

// GET "/confirm?id=ID&token=TOKEN": checks the link and runs the submission's held
// actions once; the page (or JSON) says confirmed (200), not a link of ours (404),
// confirmed already (409), expired or purged (410), or that it failed (500).
Answer answer_confirmation(Run& run, const std::string& settings_file);
