#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

TEST(AbacusEndToEnd, ReportsComputePointsWithTheBillingDate) {
  testing::ProviderServer provider;
  std::mutex mutex;
  std::string pointsCookie;
  std::string billingCookie;
  std::string billingBody;
  provider.server().Get("/api/_getOrganizationComputePoints", [&](const httplib::Request& request,
                                                                  httplib::Response& response) {
    std::lock_guard lock(mutex);
    pointsCookie = request.get_header_value("Cookie");
    response.set_content(R"({"success":true,"result":{"totalComputePoints":2500,"computePointsLeft":1000}})",
                         "application/json");
  });
  provider.server().Post("/api/_getBillingInfo", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    billingCookie = request.get_header_value("Cookie");
    billingBody = request.body;
    response.set_content(R"({"success":true,"result":{"nextBillingDate":"2026-04-01T00:00:00.000Z"}})",
                         "application/json");
  });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"abacus", provider.origin()}});
  sandbox.saveCredential("abacus", "web:session_id=abc123; csrf=xyz\n");
  const Json records = sandbox.runJson({"abacus"});

  ASSERT_EQ(records.size(), 1u);
  const Json& record = records[0];
  EXPECT_EQ(record["id"], "abacus");
  EXPECT_EQ(record["provider"], "abacus");
  EXPECT_EQ(record["used"], 60.0);
  EXPECT_EQ(record["limit"], 100.0);
  EXPECT_EQ(record["cost"], 0.0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_EQ(record["resetAt"], "2026-04-01T00:00:00.000Z");
  EXPECT_EQ(record["resetPeriod"], "monthly");
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["note"], "Abacus AI compute points: 1,500 / 2,500");
  EXPECT_EQ(record["isLoading"], false);
  EXPECT_EQ(record["auxiliaryUsage"], Json::array());
  EXPECT_EQ(record["percentage"], 60);

  std::lock_guard lock(mutex);
  EXPECT_EQ(pointsCookie, "session_id=abc123; csrf=xyz");
  EXPECT_EQ(billingCookie, "session_id=abc123; csrf=xyz");
  EXPECT_EQ(billingBody, "{}");
}

}  // namespace
}  // namespace dapplewick
