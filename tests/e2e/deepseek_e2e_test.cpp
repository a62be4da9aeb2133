#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "providers/dates.hpp"
#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

struct SeenRequest {
  std::string path;
  std::string month;
  std::string year;
  std::string authorization;
  std::string userAgent;
};

// One loopback server plays both the API and the platform console; the cost endpoint answers `costStatus`.
class DeepSeekServer {
 public:
  explicit DeepSeekServer(int costStatus) {
    provider_.server().Get("/user/balance", [this](const httplib::Request& request, httplib::Response& response) {
      record(request);
      response.set_content(
          R"({"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.5",)"
          R"("granted_balance":"10","topped_up_balance":"100.5"}]})",
          "application/json");
    });
    provider_.server().Get("/api/v0/usage/cost", [this, costStatus](const httplib::Request& request,
                                                                    httplib::Response& response) {
      record(request);
      response.status = costStatus;
      response.set_content(
          R"({"code":0,"data":{"biz_data":[{"total":[{"type":"chat","amount":"1.25"},)"
          R"({"type":"reasoner","amount":"NaN"},{"type":"cache","amount":"0.25"}]}]}})",
          "application/json");
    });
    provider_.start();
  }

  std::string origin() const { return provider_.origin(); }
  std::vector<SeenRequest> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void record(const httplib::Request& request) {
    std::lock_guard lock(mutex_);
    seen_.push_back({request.path, request.get_param_value("month"), request.get_param_value("year"),
                     request.get_header_value("Authorization"), request.get_header_value("User-Agent")});
  }

  testing::ProviderServer provider_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

Json fetchDeepSeek(const DeepSeekServer& server) {
  testing::Sandbox sandbox;
  sandbox.setOrigins({{"deepseek.api", server.origin()}, {"deepseek.platform", server.origin()}});
  sandbox.saveCredential("deepseek", "api:sk-e2e\n");
  return sandbox.runJson({"deepseek"});
}

constexpr const char* kNote = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";

TEST(DeepSeekEndToEnd, ReportsTheBalanceAndTheMonthsSpend) {
  DeepSeekServer server(200);
  // The sandbox runs the binary in UTC.
  const CivilDate before = civilDateUTC(std::chrono::time_point_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now()));
  const Json output = fetchDeepSeek(server);
  const CivilDate after = civilDateUTC(std::chrono::time_point_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now()));

  ASSERT_EQ(output.size(), 1u);
  const Json& record = output[0];
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

  const auto seen = server.seen();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& request : seen) {
    SCOPED_TRACE(request.path);
    EXPECT_EQ(request.authorization, "Bearer sk-e2e");
    EXPECT_EQ(request.userAgent, "Dapplewick/1.0");
    if (request.path == "/api/v0/usage/cost") {
      const bool matches = (request.month == std::to_string(before.month) && request.year ==
                            std::to_string(before.year)) ||
                           (request.month == std::to_string(after.month) && request.year ==
                            std::to_string(after.year));
      EXPECT_TRUE(matches) << request.month << "/" << request.year;
    }
  }
}

TEST(DeepSeekEndToEnd, AnUnreadableMonthlyCostIsNoCost) {
  DeepSeekServer server(500);
  const Json output = fetchDeepSeek(server);
  ASSERT_EQ(output.size(), 1u);
  const Json& record = output[0];
  EXPECT_EQ(record["cost"], 0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_TRUE(record["error"].is_null());
  EXPECT_EQ(record["note"], kNote);
}

}  // namespace
}  // namespace dapplewick
