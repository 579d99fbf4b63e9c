// The alerts: which delivery ends raise one, what they carry, and the outbox's
// condition announced once when it starts and once when it ends, whichever of two
// processes on one store sees the change (against the real SQLite ODBC driver).
#include "velloc/archive/alerts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/settings/site_settings.h"

namespace {

constexpr char kSqliteDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr std::int64_t kMinute = 60 * 1000;

Delivery webhook_delivery() {
  Delivery delivery;
  delivery.id = "d1";
  delivery.submission_id = "s1";
  delivery.kind = "webhook";
  delivery.target = "https://user:pw@hooks.example/in?token=1";
  return delivery;
}

TEST(AlertTest, OnlyADeliveryEndedFailedOrGivenUpRaisesOne) {
  struct Case {
    AttemptDecision decision;
    const char* event;  // empty: none
  };
  const Case cases[] = {
      {{"delivered", 0, false}, ""},
      {{"pending", 5000, false}, ""},
      {{"failed", 0, false}, "delivery_failed"},
      {{"failed", 0, true}, "delivery_given_up"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.decision.status);
    std::optional<Alert> alert =
        delivery_alert(webhook_delivery(), c.decision, {7'000, "HTTP 400 (permanent)", "400 Bad"});
    EXPECT_EQ(c.event, alert ? alert->event : "");
  }
  Alert alert = *delivery_alert(webhook_delivery(), {"failed", 0, true},
                                {7'000, "timed out (temporary)", ""});
  EXPECT_EQ("the webhook to https://hooks.example/in?...: timed out (temporary)", alert.reason);
  EXPECT_EQ(7, alert.time);
}

TEST(AlertTest, WebhookBodyAndCommandEnvironment) {
  Alert alert{"delivery_failed", 1796428800, "s1", "d1", "the \"mail\"\nrefused"};
  EXPECT_EQ(
      "{\"event\": \"delivery_failed\", \"time\": \"2026-12-05T00:00:00Z\", "
      "\"submission\": \"s1\", \"delivery\": \"d1\", \"reason\": \"the \\\"mail\\\"\\nrefused\"}",
      alert_json(alert));
  EXPECT_EQ((std::vector<std::string>{
                "PATH=/usr/local/bin:/usr/bin:/bin", "VELLOC_ALERT_EVENT=delivery_failed",
                "VELLOC_ALERT_TIME=2026-12-05T00:00:00Z", "VELLOC_ALERT_SUBMISSION=s1",
                "VELLOC_ALERT_DELIVERY=d1", "VELLOC_ALERT_REASON=the \"mail\" refused"}),
            alert_environment(alert));
}

// Each step: which process looks (0 or 1), how long the oldest due form mail has been
// due (-1: none due), and what it announces, with OutboxAlertMinutes=15.
TEST(AlertTest, OutboxTooOldIsAnnouncedOnceWhenItStartsAndOnceWhenItEnds) {
  testing_support::TempDir dir;
  std::string connection =
      std::string("DRIVER=") + kSqliteDriver + ";Database=" + dir.file("state.db");
  std::string error;
  std::unique_ptr<ArchiveStore> stores[] = {open_odbc_archive_store(connection, &error),
                                            open_odbc_archive_store(connection, &error)};
  ASSERT_TRUE(stores[0] && stores[1]) << error;
  struct Step {
    int process;
    std::int64_t oldest_due;
    const char* announced;
  };
  const Step steps[] = {
      {0, -1, ""},  // never raised: nothing recovers
      {0, 15 * kMinute, ""},
      {0, 15 * kMinute + 1000,
       "outbox_too_old: the oldest due form_mail delivery fell due 901 s "
       "ago, more than 15 minutes"},
      {1, 16 * kMinute, ""},  // raised by the other already
      {0, 17 * kMinute, ""},
      {1, -1, "outbox_recovered: no due delivery waits longer than 15 minutes"},
      {0, -1, ""},
      {1, 20 * kMinute,
       "outbox_too_old: the oldest due form_mail delivery fell due 1200 s "
       "ago, more than 15 minutes"},
  };
  std::int64_t now = 100 * kMinute;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.oldest_due);
    std::vector<OutboxKind> outbox = {{"form_mail", 0, 2, 0, 0}};
    if (step.oldest_due >= 0) outbox.push_back({"webhook", 0, 0, 1, 0});
    if (step.oldest_due >= 0) outbox[0] = {"form_mail", 1, 2, 0, step.oldest_due};
    std::optional<Alert> alert;
    ASSERT_TRUE(outbox_change(*stores[step.process], outbox, 15, now += 1000, &alert, &error))
        << error;
    EXPECT_EQ(step.announced, alert ? alert->event + ": " + alert->reason : "");
  }
}

// The [Velloc] lines of a settings file, and the alert settings read from them.
TEST(AlertTest, SettingsFromTheVellocSection) {
  struct Case {
    const char* lines;
    const char* secret;
    int minutes;
  };
  const Case cases[] = {
      {"OutboxAlertMinutes=soon\n", "", 15},
      {"WebhookSecret=hooks\nOutboxAlertMinutes=0\n", "hooks", 1},
      {"WebhookSecret=hooks\nAlertWebhookSecret=alerts\nOutboxAlertMinutes=99999\n", "alerts",
       10080},
  };
  testing_support::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    dir.write("VELLOC.ini", std::string("[Velloc]\nAlertCommand= /bin/alert \n") + c.lines);
    AlertSettings settings = alert_settings(settings::read_site_settings(dir.file("VELLOC.ini")));
    EXPECT_EQ("/bin/alert", settings.command);
    EXPECT_EQ(c.secret, settings.secret);
    EXPECT_EQ(c.minutes, settings.outbox_minutes);
  }
}

}  // namespace
