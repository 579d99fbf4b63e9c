// The persistent server's own deliveries: one pass of what `velloc --deliver` does
// (the submissions of killed runs recovered, then each due delivery claimed, sent and
// recorded), run in a child process the FastCGI supervisor forks every few seconds,
// so a site served persistently needs no delivery timer. Claims keep a timer's
// --deliver running as well from sending anything twice. A pass also looks at the
// outbox for its alert and tells the supervisor what waits there.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "velloc/archive/archive_store.h"
#include "velloc/fastcgi/service_notify.h"
#include "velloc/site.h"

// How long a pass takes new deliveries: the one in hand when it ends is finished.
inline constexpr std::chrono::seconds kDeliveryPassTime{50};

// One pass with the settings the facts find, as they are now; what it did goes to
// velloc's log. Stops taking deliveries once `stop()` says so. The outbox as the pass
// left it; nullopt when no archive is kept (Archive=1 nowhere) or the store failed.
// The deliveries' ends are counted into `metrics` (none: not counted).
std::optional<std::vector<OutboxKind>> run_delivery_pass(const ProcessFacts& facts,
                                                         const std::function<bool()>& stop,
                                                         MetricsStore* metrics = nullptr);

// The outbox as the service manager's status shows it: every pending delivery,
// and how long the oldest due one has been due.
OutboxSummary outbox_status(const std::vector<OutboxKind>& outbox);
