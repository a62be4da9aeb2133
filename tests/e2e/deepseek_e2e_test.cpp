#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "providers/dates.hpp"
#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

constexpr const char* kNote = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";

// One loopback server plays both the API and the platform console; the cost endpoint answers `costStatus`.
class DeepSeekEndToEnd : public ::testing::Test {
 protected:
  Json run(int costStatus) {
    server.handle("GET", "/user/balance", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(
          R"({"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.5",)"
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
    sandbox.setOrigins({{"deepseek.api", server.origin()}, {"deepseek.platform", server.origin()}});
    sandbox.saveCredential("deepseek", "api:sk-e2e\n");
    const Json records = sandbox.runJson({"deepseek"});
    EXPECT_EQ(records.size(), 1u) << records.dump();
    return records.empty() ? Json::object() : records[0];
  }

  testing::ProviderServer server;
  testing::Sandbox sandbox;
};

std::string costTarget(const CivilDate& date) {
  return "/api/v0/usage/cost?month=" + std::to_string(date.month) + "&year=" + std::to_string(date.year);
}

CivilDate todayUTC() {
  return civilDateUTC(std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now()));
}

TEST_F(DeepSeekEndToEnd, ReportsTheBalanceAndTheMonthsSpend) {
  // The sandbox runs the binary in UTC; a run across the turn of a month may use either month.
  const CivilDate before = todayUTC();
  Json record = run(200);
  const CivilDate after = todayUTC();

  EXPECT_EQ(record["id"], "deepseek");
  EXPECT_EQ(record["provider"], "deepseek");
  EXPECT_EQ(record["used"], 0);
  EXPECT_EQ(record["limit"], 0);
  EXPECT_EQ(record["cost"], 1.5);
  EXPECT_EQ(record["costSemantic"], "periodCumulative");
  EXPECT_TRUE(record["resetAt"].is_null());
  EXPECT_EQ(record["resetPeriod"], "monthly");
  EXPECT_TRUE(record["error"].is_null());
  EXPECT_EQ(record["note"], kNote);
  EXPECT_EQ(record["isLoading"], false);
  EXPECT_EQ(record["auxiliaryUsage"], Json::array());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    SCOPED_TRACE(request.target);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-e2e");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("User-Agent"), "Dapplewick/1.0");
    if (request.target != "/user/balance") {
      EXPECT_TRUE(request.target == costTarget(before) || request.target == costTarget(after));
    }
  }
}

TEST_F(DeepSeekEndToEnd, AnUnreadableMonthlyCostIsNoCost) {
  Json record = run(500);
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_TRUE(record["error"].is_null());
  EXPECT_EQ(record["note"], kNote);
}

}  // namespace
}  // namespace dapplewick
