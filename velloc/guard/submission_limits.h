// The rate limits of a run (RateLimit per client address, ReceiptRateLimit per
// receipt address, in [Velloc] or the form profile) and the receipt counter kept
// in the state store (ReceiptCounter=state). The store is opened only when one
// of them is configured, and at most once per run.
#pragma once

#include <string>
#include <string_view>

struct Run;

// Step before anything is stored or sent: counts the submission against the
// configured limits, or refuses it with status 429 and ends the run. A store
// that cannot be reached is logged and the run goes on unlimited.
void check_rate_limits(Run& run);

// The key under which the state store counts the receipts sent to `address`
// (ReceiptRateLimit): the address trimmed and lower-cased (ASCII).
std::string receipt_limit_key(std::string_view address);

// True when ReceiptCounter=state asks for receipt numbers from the store.
bool receipt_counter_in_state(const Run& run);

// The next receipt number from the store, which starts at `first`; ends the run
// with "Receipt Number Not Available!" when the store fails.
int take_state_receipt_number(Run& run, int first);
