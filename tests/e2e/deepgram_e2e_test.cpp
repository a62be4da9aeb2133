#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/clock.hpp"
#include "providers/dates.hpp"
#include "support/e2e_harness.hpp"
#include "support/env_guard.hpp"

namespace dapplewick {
namespace {

// The real binary and curl transport against a loopback Deepgram: two projects, the second failing, so the
// record shows the first one's figures and how many projects answered.
TEST(DeepgramEndToEnd, AddsUpTheProjectsThatAnswer) {
  testing::ProviderServer deepgram;
  deepgram.handle("GET", "/v1/projects", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"projects":[{"project_id":"p-main","name":"Main"},{"project_id":"p-old"}]})",
                         "application/json");
  });
  deepgram.handle("GET", "/v1/projects/p-main/usage/breakdown",
                  [](const httplib::Request&, httplib::Response& response) {
                    response.set_content(
                        R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})",
                        "application/json");
                  });
  deepgram.handle("GET", "/v1/projects/p-old/usage/breakdown",
                  [](const httplib::Request&, httplib::Response& response) {
                    response.status = 500;
                    response.set_content("internal error", "text/plain");
                  });
  deepgram.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"deepgram", deepgram.origin()}});
  sandbox.saveCredential("deepgram", "api:  dg-e2e-key\n");
  const Json records = sandbox.runJson({"deepgram"});

  // The sandbox runs the binary in UTC, so the usage start and the reset are both UTC month boundaries.
  const testing::TimeZoneGuard utc("UTC0");
  const Timestamp now = SystemClock().now();
  const std::string start = "?start=" + formatRFC3339Seconds(startOfLocalMonth(now));

  const auto requests = deepgram.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].target, "/v1/projects");
  EXPECT_EQ(requests[1].target, "/v1/projects/p-main/usage/breakdown" + start);
  EXPECT_EQ(requests[2].target, "/v1/projects/p-old/usage/breakdown" + start);
  for (const auto& request : requests) {
    SCOPED_TRACE(request.target);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Authorization"), "Token dg-e2e-key");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("User-Agent"), "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36");
    EXPECT_EQ(request.body, "");
  }

  ASSERT_EQ(records.size(), 1u) << records.dump();
  // Copies, so that looking up a missing field gives null instead of undefined behaviour.
  Json record = records[0];
  EXPECT_EQ(record["id"], "deepgram");
  EXPECT_EQ(record["provider"], "deepgram");
  EXPECT_EQ(record["used"], 15);
  EXPECT_EQ(record["limit"], 0);
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_EQ(record["resetAt"], formatRFC3339Millis(startOfNextLocalMonth(now)));
  EXPECT_EQ(record["resetPeriod"], "monthly");
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["note"], "1/2 projects aggregated");
  EXPECT_EQ(record["isLoading"], false);
  EXPECT_EQ(record["percentage"], 0);
  ASSERT_EQ(record["auxiliaryUsage"].size(), 1u);
  Json hours = record["auxiliaryUsage"][0];
  EXPECT_EQ(hours["used"], 1.75);
  EXPECT_EQ(hours["note"], "Hours");
  EXPECT_TRUE(hours["resetAt"].is_null());
  EXPECT_EQ(hours["resetPeriod"], "monthly");
  EXPECT_EQ(hours["auxiliaryUsage"].size(), 0u);
  EXPECT_EQ(records.dump().find("dg-e2e-key"), std::string::npos) << "the key must never be printed";
}

}  // namespace
}  // namespace dapplewick
