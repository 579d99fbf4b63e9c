// How many receipts one address may get (ReceiptsPerAddress in any 24 hours), so
// that a form cannot be made to send mail to a stranger over and over; and the
// one-click unsubscribe header lines a receipt carries (ReceiptUnsubscribeURL).
// The count lives in the state store, shared by the sites that share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Run;

// The window in which receipts to one address are counted.
inline constexpr std::int64_t kReceiptWindowMilliseconds = 24 * 3600 * 1000LL;

// The key under which the state store counts the receipts sent to `address`: the
// address trimmed and lower-cased (ASCII). `velloc --erase` forgets it.
std::string receipts_sent_key(std::string_view address);

// Whether one more receipt may go to an address that got `sent` in the window;
// `per_address` 0 is no limit.
bool receipt_allowed(std::size_t sent, int per_address);

// Counts a receipt to `address` (compared without regard to ASCII case) when the
// limit allows it, whether or not it is then delivered; false (logged) when the
// address has had its receipts. A store that cannot be reached is logged and the
// receipt goes; a run without a settings file or StateDSN counts nothing.
bool admit_receipt(Run& run, std::string_view address);

// The address with every byte but the unreserved (letters, digits, "-._~")
// percent-encoded.
std::string percent_encoded(std::string_view text);

// The header-file lines "List-Unsubscribe: <URL>" and "List-Unsubscribe-Post:
// List-Unsubscribe=One-Click", each "%EMAIL%" of `url` replaced by the encoded
// address; empty when `url` is.
std::string list_unsubscribe_lines(std::string_view url, std::string_view address);
