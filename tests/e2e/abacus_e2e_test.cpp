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
    res.set_content(R"({"success":true,"result":{"nextBillingDate":"2026-04-01T00:00:00.000Z"}})", "application/json");
  });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"abacus", provider.origin()}});
  sandbox.saveCredential("abacus", "web:session_id=abc123; csrf=xyz\n");
  const Json records = sandbox.runJson({"abacus"});

  ASSERT_EQ(records.size(), 1u);
  Json record = records[0];  // a copy: a missing field reads as null
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["used"], 60.0);
  EXPECT_EQ(record["resetAt"], "2026-04-01T00:00:00.000Z");
  EXPECT_EQ(record["note"], "Abacus AI compute points: 1,500 / 2,500");

  const auto requests = provider.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.header("Cookie"), "session_id=abc123; csrf=xyz");
    EXPECT_EQ(request.body, request.method == "POST" ? "{}" : "");
  }
}

}  // namespace
}  // namespace dapplewick
