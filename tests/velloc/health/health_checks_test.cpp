#include "velloc/health/health_checks.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kMegabyte = 1024 * 1024;
using Status = HealthCheck::Status;

// Each check's verdict from its facts, and the document's status the worst of them:
// 503 only for a failure, the outbox's age only a warning (its mail is kept).
TEST(HealthChecks, ReadinessFromTheFactsOfEachCheck) {
  const struct {
    HealthCheck check;
    Status status;
    const char* output;
  } cases[] = {
      {folder_check("temp", {"/tmp", true, 500 * kMegabyte}, 100), Status::kPass, ""},
      {folder_check("temp", {"/tmp", true, std::nullopt}, 100), Status::kPass, ""},
      {folder_check("temp", {"/tmp", true, 99 * kMegabyte}, 100), Status::kFail,
       "/tmp has 99 MB free, under 100"},
      {folder_check("temp", {"/ro", false, 500 * kMegabyte}, 100), Status::kFail,
       "/ro cannot be written"},
      {outbox_check(std::nullopt, 15), Status::kPass, ""},
      {outbox_check(900, 15), Status::kPass, ""},
      {outbox_check(901, 15), Status::kWarn, "the oldest due delivery fell due 901 s ago"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, c.check.status) << c.check.name << " " << c.output;
    EXPECT_EQ(c.output, c.check.output);
  }
  auto document = [](std::vector<HealthCheck> checks) { return readiness_answer(checks); };
  Answer pass = document({{"settings", Status::kPass, ""}});
  EXPECT_EQ(200, pass.status);
  EXPECT_EQ("application/health+json", pass.content_type);
  EXPECT_EQ(R"({"status": "pass", "checks": {"settings": [{"status": "pass"}]}})", pass.body);
  Answer warn = document({{"settings", Status::kPass, ""}, {"outbox", Status::kWarn, "late"}});
  EXPECT_EQ(200, warn.status);
  EXPECT_EQ(0u, warn.body.find(R"({"status": "warn")"));
  Answer fail = document({{"store", Status::kFail, "down"}, {"outbox", Status::kWarn, "late"}});
  EXPECT_EQ(503, fail.status);
  EXPECT_NE(std::string::npos,
            fail.body.find(R"("store": [{"status": "fail", "output": "down"}])"));
}

}  // namespace
