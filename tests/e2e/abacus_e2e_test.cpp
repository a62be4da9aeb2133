#include <gtest/gtest.h>

#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

TEST(AbacusEndToEnd, ReportsComputePointsWithTheBillingDate) {
  testing::ProviderServer provider;
  provider.handle("GET", "/api/_getOrganizationComputePoints", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"success":true,"result":{"totalComputePoints":2500,"computePointsLeft":1000}})",
                    "application/json");
  });
  provider.handle("POST", "/api/_getBillingInfo", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"success":true,"result":{"nextBillingDate":"2026-04-01T00:00:00.000Z"}})",
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

  const auto requests = provider.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    SCOPED_TRACE(request.target);
    EXPECT_EQ(request.header("Cookie"), "session_id=abc123; csrf=xyz");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, request.method == "POST" ? "{}" : "");
  }
}

}  // namespace
}  // namespace dapplewick
