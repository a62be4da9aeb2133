#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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
  testing::ProviderServer provider;
  std::mutex mutex;
  std::vector<std::string> seen;  // "PATH?start=VALUE Authorization", in arrival order
  auto record = [&](const httplib::Request& request) {
    std::lock_guard lock(mutex);
    seen.push_back(request.path + "?start=" + request.get_param_value("start") + " " +
                   request.get_header_value("Authorization"));
  };
  provider.server().Get("/v1/projects", [&](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.set_content(R"({"projects":[{"project_id":"p-main","name":"Main"},{"project_id":"p-old"}]})",
                         "application/json");
  });
  provider.server().Get("/v1/projects/p-main/usage/breakdown",
                        [&](const httplib::Request& request, httplib::Response& response) {
                          record(request);
                          response.set_content(
                              R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})",
                              "application/json");
                        });
  provider.server().Get("/v1/projects/p-old/usage/breakdown",
                        [&](const httplib::Request& request, httplib::Response& response) {
                          record(request);
                          response.status = 500;
                          response.set_content("internal error", "text/plain");
                        });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"deepgram", provider.origin()}});
  sandbox.saveCredential("deepgram", "api:dg-e2e-key\n");

  const Json output = sandbox.runJson({"deepgram"});

  // The sandbox runs the binary in UTC, so the usage start and the reset are both UTC month boundaries.
  const testing::TimeZoneGuard utc("UTC0");
  const Timestamp now = SystemClock().now();
  const std::string start = formatRFC3339Seconds(startOfLocalMonth(now));
  const std::string auth = " Token dg-e2e-key";
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"/v1/projects?start=" + auth,
                                              "/v1/projects/p-main/usage/breakdown?start=" + start + auth,
                                              "/v1/projects/p-old/usage/breakdown?start=" + start + auth}));
  }

  ASSERT_EQ(output.size(), 1u) << output.dump();
  const Json& dg = output[0];
  EXPECT_EQ(dg["id"], "deepgram");
  EXPECT_EQ(dg["provider"], "deepgram");
  EXPECT_EQ(dg["used"], 15);
  EXPECT_EQ(dg["limit"], 0);
  EXPECT_EQ(dg["cost"], 0);
  EXPECT_EQ(dg["costSemantic"], "none");
  EXPECT_EQ(dg["resetAt"], formatRFC3339Millis(startOfNextLocalMonth(now)));
  EXPECT_EQ(dg["resetPeriod"], "monthly");
  EXPECT_TRUE(dg["error"].is_null()) << dg["error"];
  EXPECT_EQ(dg["note"], "1/2 projects aggregated");
  EXPECT_EQ(dg["isLoading"], false);
  EXPECT_EQ(dg["percentage"], 0);
  ASSERT_EQ(dg["auxiliaryUsage"].size(), 1u);
  const Json& hours = dg["auxiliaryUsage"][0];
  EXPECT_EQ(hours["used"], 1.75);
  EXPECT_EQ(hours["note"], "Hours");
  EXPECT_TRUE(hours["resetAt"].is_null());
  EXPECT_EQ(hours["resetPeriod"], "monthly");
  EXPECT_EQ(hours["auxiliaryUsage"].size(), 0u);
  EXPECT_EQ(output.dump().find("dg-e2e-key"), std::string::npos) << "the key must never be printed";
}

}  // namespace
}  // namespace dapplewick
