// The inbox responder: writes an InboxAnswer as the response, headers included.
// Every answer carries the same guarding headers (no framing, no scripts, no
// caching, no sniffing); every value on a page is HTML-escaped and made valid
// UTF-8 first. The only writer of an inbox response.
#pragma once

#include <iosfwd>

#include "velloc/inbox/inbox_answer.h"

void write_inbox_answer(std::ostream& out, const InboxAnswer& answer);

// The upload's stored type when it is a plain "type/subtype", else
// application/octet-stream.
std::string download_type(std::string_view stored_type);

// `Content-Disposition: attachment` with the name as a quoted ASCII fallback
// (anything else as "_") and as UTF-8 in filename*.
std::string attachment_disposition(std::string_view file_name);
