// A run's mail when its submission is archived: a delivery of its own, kept with
// the exact bytes before it is tried, tried at once, and left pending for
// `velloc --deliver` when the failure is temporary. In queue mode (Delivery=queue) it
// is kept pending and not tried: the server's delivery work or --deliver sends it.
#pragma once

#include <span>

#include "velloc/mail/mime.h"
#include "velloc/mail/session_result.h"

struct Run;

enum class ArchivedSend { kSent, kQueued, kFailed };

// `kind`: "form_mail" or "receipt". The run's header and body files are gone on
// return. A delivery the store cannot keep is still sent as without the archive.
ArchivedSend send_archived_mail(Run& run, std::span<const MailAttachment> attachments,
                                const char* kind);
