#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

// One loopback server plays both the API and the platform console; the cost endpoint answers `costStatus`.
Json runWithCostStatus(int costStatus, std::vector<RecordedRequest>* requests = nullptr) {
  testing::ProviderServer server;
  server.handle("GET", "/user/balance", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.5",)"
                         R"("granted_balance":"10","topped_up_balance":"100.5"}]})",
                         "application/json");
  });
  server.handle("GET", "/api/v0/usage/cost", [costStatus](const httplib::Request&, httplib::Response& response) {
    response.status = costStatus;
    response.set_content(R"({"code":0,"data":{"biz_data":[{"total":[{"type":"chat","amount":"1.25"},)"
                         R"({"type":"reasoner","amount":"NaN"},{"type":"cache","amount":"0.25"}]}]}})",
                         "application/json");
  });
  server.start();
  testing::Sandbox sandbox;
  sandbox.setOrigins({{"deepseek.api", server.origin()}, {"deepseek.platform", server.origin()}});
  sandbox.saveCredential("deepseek", "api:sk-e2e\n");
  const Json records = sandbox.runJson({"deepseek"});
  if (requests != nullptr) *requests = server.requests();
  EXPECT_EQ(records.size(), 1u) << records.dump();
  Json record = records.empty() ? Json::object() : records[0];
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["note"], "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000");
  return record;
}

TEST(DeepSeekEndToEnd, ReportsTheBalanceAndTheMonthsSpend) {
  std::vector<RecordedRequest> requests;
  Json record = runWithCostStatus(200, &requests);
  EXPECT_EQ(record["cost"], 1.5);
  EXPECT_EQ(record["costSemantic"], "periodCumulative");
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) EXPECT_EQ(request.header("Authorization"), "Bearer sk-e2e");
}

TEST(DeepSeekEndToEnd, AnUnreadableMonthlyCostIsNoCost) {
  Json record = runWithCostStatus(500);
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
}

}  // namespace
}  // namespace dapplewick
