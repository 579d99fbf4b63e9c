// The persistent server's own deliveries: what `velloc --deliver` does (the submissions
// of killed runs recovered, then each due delivery claimed, sent and recorded), run by
// a few sender processes the FastCGI supervisor keeps, so a site served persistently
// needs no delivery timer. A sender sends one delivery at a time and, once nothing is
// due, waits for a worker's wake-up (a delivery queued) or its next look. Claims keep
// the senders, other servers and a timer's --deliver from sending anything twice. The
// first sender also looks at the outbox for its alert and tells the supervisor what
// waits there.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "platform/wakeup.h"
#include "velloc/archive/archive_store.h"
#include "velloc/fastcgi/service_notify.h"
#include "velloc/site.h"

// How long a pass takes new deliveries: the one in hand when it ends is finished.
inline constexpr std::chrono::seconds kDeliveryPassTime{50};
// How long a sender waits for a wake-up before it looks for due deliveries anyway
// (retries falling due, deliveries queued by a process of one request).
inline constexpr std::chrono::milliseconds kDeliveryLook{1000};

// Which sender a pass is, and what wakes it.
struct DeliverySender {
  int number = 0;  // 0: the one that also recovers submissions and looks at the outbox
  // Rung by the workers once a delivery is queued; none: one round over what is due.
  platform::Wakeup* wakeup = nullptr;
  // Told the outbox each time the first sender looks at it (every kOutboxLook).
  std::function<void(const std::vector<OutboxKind>&)> outbox_seen;
};
// How often the first sender looks at the outbox while it waits.
inline constexpr std::chrono::seconds kOutboxLook{5};

// One pass of `sender` with the settings the facts find, as they are now; what it did
// goes to velloc's log as it goes. With a wake-up it sends and waits in turn for
// kDeliveryPassTime. Stops taking deliveries once `stop()` says so. The outbox as the
// pass left it; nullopt when no archive is kept (Archive=1 nowhere), the store failed,
// or the sender is not the first. The deliveries' ends are counted into `metrics`
// (none: not counted).
std::optional<std::vector<OutboxKind>> run_delivery_pass(const ProcessFacts& facts,
                                                         const std::function<bool()>& stop,
                                                         MetricsStore* metrics = nullptr,
                                                         const DeliverySender& sender = {});

// The outbox as the service manager's status shows it: every pending delivery,
// and how long the oldest due one has been due.
OutboxSummary outbox_status(const std::vector<OutboxKind>& outbox);
