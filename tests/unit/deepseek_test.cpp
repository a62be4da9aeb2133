#include "providers/deepseek.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kBalanceURL = "https://api.deepseek.com/user/balance";
// The cost query names the local month: December 2024 west of Greenwich, though January 2025 in UTC.
const std::string kCostURL = "https://platform.deepseek.com/api/v0/usage/cost?month=12&year=2024";
const Timestamp kNow{std::chrono::seconds(1'735'707'600)};  // 2025-01-01T05:00Z
const std::string kZone = "<-08>8";

struct Entry {
  std::string currency, total, granted, toppedUp;
};

std::string balanceBody(const std::vector<Entry>& entries, bool available = true) {
  Json infos = Json::array();
  for (const auto& e : entries) {
    infos.push_back({{"currency", e.currency}, {"total_balance", e.total}, {"granted_balance", e.granted},
                     {"topped_up_balance", e.toppedUp}});
  }
  return Json{{"is_available", available}, {"balance_infos", infos}}.dump();
}

// The first item's totals.
std::string costBody(const std::string& totals) {
  return R"({"code":0,"data":{"biz_data":[{"total":[)" + totals + "]}]}}";
}

TEST(DeepSeekService, SendsTheBalanceAndCostRequestsAndBuildsTheRecord) {
  testing::TimeZoneGuard zone(kZone);
  testing::ServiceWorld world(kNow);
  world.transport.respond(kBalanceURL, 200, balanceBody({{"CNY", "110.5", "10", "100.5"}}));
  world.transport.respond(kCostURL, 200, costBody(R"({"type":"chat","amount":"1.5"})"));
  UsageData want = UsageData::blank(Provider::deepSeek);
  want.cost = 1.5;
  want.costSemantic = CostSemantic::periodCumulative;
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";
  EXPECT_EQ(DeepSeekService(world.context).fetchUsage("api:sk-test\n"), want);
  const std::string headers =
      " (60000 ms)\nAuthorization: Bearer sk-test\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kBalanceURL).at(0)), "GET " + kBalanceURL + headers);
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kCostURL).at(0)), "GET " + kCostURL + headers);
}

// The balance is required: its failure is the fetch's, and it cancels and joins the cost request before it is
// thrown. The cost is best effort: when it cannot be read (or does not decode as a whole) the record claims no
// spend (cost 0, no semantic), since a month-to-date cost of 0 would be filed in the spend history as if true.
TEST(DeepSeekService, TheBalanceIsRequiredAndTheCostBestEffort) {
  testing::TimeZoneGuard zone(kZone);
  constexpr int kFails = -1;
  constexpr int kBlocks = -2;  // until cancelled
  struct Case {
    int balanceStatus, costStatus;  // 0: an answer that is not HTTP
    std::string cost, want;
  };
  const std::string usd = "$5.0000 total balance \u00B7 Paid: $5.0000 \u00B7 Granted: $0.0000";
  const std::vector<Case> cases = {
      {200, 200, R"({"data":{"biz_data":[]}})", "0.00 spent " + usd},
      // The readable amounts of the first item count; every item must decode.
      {200, 200, R"({"data":{"biz_data":[{"total":[{"type":"a","amount":"1.25"},{"amount":"n/a"},{"type":"b"},)"
                 R"({"amount":"0.75"}]},{"total":[{"amount":"100"}]}]}})", "2.00 spent " + usd},
      {200, 200, R"({"data":{"biz_data":[{"total":[{"amount":1.5}]}]}})", "0.00 unknown " + usd},
      {200, 200, R"({"data":{"biz_data":[{"total":[]},{"total":{}}]}})", "0.00 unknown " + usd},
      // A sum that is no finite figure.
      {200, 200, costBody(R"({"amount":"1e308"},{"amount":"1e308"})"), "0.00 unknown " + usd},
      {200, 500, costBody(R"({"amount":"3"})"), "0.00 unknown " + usd},
      {200, kFails, "", "0.00 unknown " + usd},
      {401, 200, "", "Invalid DeepSeek API key"},
      {402, 200, "", "DeepSeek API error 402"},
      {0, 200, "", "Unexpected response from DeepSeek"},
      {500, kBlocks, "", "DeepSeek API error 500"},
  };
  const auto costAndNote = [](const UsageData& record) {
    const bool spent = record.costSemantic == CostSemantic::periodCumulative;
    return formatFixed(record.cost, 2) + (spent ? " spent " : " unknown ") + record.note.value_or("");
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want + " " + c.cost);
    testing::ServiceWorld world(kNow);
    // The balance answers last, checking that the cost's outcome did not cancel it.
    const auto late = testing::answerAfter(30ms, c.balanceStatus, balanceBody({{"USD", "5", "0", "5"}}));
    world.transport.handle(kBalanceURL, [&late, &c](const HTTPRequest& request, std::stop_token stop) {
      HTTPResponse response = late(request, stop);
      EXPECT_FALSE(stop.stop_requested());
      response.isHTTP = c.balanceStatus != 0;
      return response;
    });
    std::atomic<int> cancelled{0};
    if (c.costStatus == kBlocks) world.transport.handle(kCostURL, testing::blockUntilCancelled(&cancelled));
    if (c.costStatus == kFails) world.transport.fail(kCostURL, TransportError(TransportError::Kind::timeout, "late"));
    if (c.costStatus >= 0) world.transport.respond(kCostURL, c.costStatus, c.cost);
    EXPECT_EQ(testing::outcomeOf([&] { return DeepSeekService(world.context).fetchUsage("k"); }, costAndNote), c.want);
    EXPECT_EQ(cancelled.load(), c.costStatus == kBlocks ? 1 : 0) << "the cost request is joined before the error";
  }
}

TEST(DeepSeekBalance, PicksOneEntry) {
  const std::vector<std::pair<std::vector<Entry>, deepseek::Balance>> cases = {
      {{{"CNY", "10.00", "0", "10"}, {"USD", "5.00", "1", "4"}}, {true, "USD", 5, 1, 4}},  // funded USD first
      {{{"CNY", "10.00", "2", "8"}, {"USD", "0.00", "0", "0"}}, {true, "CNY", 10, 2, 8}},  // then any funded
      {{{"CNY", "0.00", "0", "0"}, {"USD", "0.00", "0", "0"}}, {true, "USD", 0, 0, 0}},    // then USD
      {{{"EUR", "0", "0", "0"}, {"GBP", "-1", "0", "0"}}, {true, "EUR", 0, 0, 0}},         // then the first
      {{{"USD", "+Inf", "0", "0"}, {"CNY", "2", "x", "1"}}, {true, "CNY", 2, 0, 1}},       // unreadable is unfunded, 0
      {{}, {false, "USD", 0, 0, 0}},                                                       // no entry at all
  };
  for (const auto& [entries, want] : cases) {
    EXPECT_EQ(deepseek::readBalance(balanceBody(entries)), want) << balanceBody(entries);
  }
  EXPECT_EQ(testing::errorText([] { deepseek::readBalance(R"({"balance_infos":[]})"); }),
            "missing key \"is_available\"");
  const auto unavailable = deepseek::readBalance(balanceBody({{"EUR", "1.23456", "0.00004", "1.23452"}}, false));
  EXPECT_EQ(deepseek::makeUsageData(unavailable, std::nullopt, kNow).note,
            "Balance unavailable for API calls. $1.2346 total balance \u00B7 Paid: $1.2345 \u00B7 Granted: $0.0000");
}

}  // namespace
}  // namespace dapplewick
