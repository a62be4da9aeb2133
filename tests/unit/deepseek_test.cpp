#include "providers/deepseek.hpp"

#include <gtest/gtest.h>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using Entries = std::vector<std::array<std::string, 4>>;  // currency, total, granted, topped up
const std::string kBalanceURL = "https://api.deepseek.com/user/balance";
// The cost query names the local month: December 2024 west of Greenwich, though January 2025 in UTC.
const std::string kCostURL = "https://platform.deepseek.com/api/v0/usage/cost?month=12&year=2024";
const Timestamp kNow{std::chrono::seconds(1'735'707'600)};  // 2025-01-01T05:00Z

std::string balanceBody(const Entries& entries, bool available = true) {
  Json infos = Json::array();
  for (const auto& [c, t, g, p] : entries)
    infos.push_back({{"currency", c}, {"total_balance", t}, {"granted_balance", g}, {"topped_up_balance", p}});
  return Json{{"is_available", available}, {"balance_infos", infos}}.dump();
}

// The first item's totals, then `more` items.
std::string costBody(const std::string& totals, const std::string& more = "") {
  return R"({"code":0,"data":{"biz_data":[{"total":[)" + totals + "]}" + more + "]}}";
}

TEST(DeepSeekService, RequestsRecordFailuresAndTheBalancePicked) {
  testing::TimeZoneGuard zone("<-08>8");
  testing::ServiceWorld world(kNow, Provider::deepSeek);
  world.transport.respond(kBalanceURL, 200, balanceBody({{"CNY", "110.5", "10", "100.5"}}));
  world.transport.respond(kCostURL, 200, costBody(R"({"type":"chat","amount":"1.5"})"));
  UsageData want = UsageData::blank(Provider::deepSeek);
  std::tie(want.cost, want.costSemantic, want.lastUpdated) = std::tuple(1.5, CostSemantic::periodCumulative, kNow);
  want.note = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";
  EXPECT_EQ(DeepSeekService(world.context).fetchUsage("api:sk-test\n"), want);
  const std::string headers =
      " (60000 ms)\nAuthorization: Bearer sk-test\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kBalanceURL).at(0)), "GET " + kBalanceURL + headers);
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kCostURL).at(0)), "GET " + kCostURL + headers);

  // The balance is required: its failure is the fetch's, and it cancels and joins the cost request before it is
  // thrown. The cost is best effort: when it cannot be read (or does not decode as a whole) the record claims no
  // spend (cost 0, no semantic), since a month-to-date cost of 0 would be filed in the spend history as if true.
  const std::string unknown = "0.00 unknown";
  // balance status, cost status (0: no HTTP answer; for the cost, no answer at all; -1: none until cancelled), cost
  // answer, outcome
  const std::vector<std::tuple<int, int, std::string, std::string>> cases = {
      {200, 200, R"({"data":{"biz_data":[]}})", "0.00 spent"}, {200, 200, costBody(R"({"amount":1.5})"), unknown},
      // The readable amounts of the first item count; every item must decode.
      {200, 200, costBody(R"({"type":"a","amount":"1.25"},{"amount":"n/a"},{"type":"b"},{"amount":"0.75"})",
                          R"(,{"total":[{"amount":"100"}]})"), "2.00 spent"},
      {200, 200, costBody("", R"(,{"total":{}})"), unknown}, {200, 500, costBody(R"({"amount":"3"})"), unknown},
      // A sum that is no finite figure.
      {200, 200, costBody(R"({"amount":"1e308"},{"amount":"1e308"})"), unknown}, {200, 0, "", unknown},
      {401, 200, "", "Invalid DeepSeek API key"}, {500, -1, "", "DeepSeek API error 500"},
      {0, 200, "", "Unexpected response from DeepSeek"}};
  const auto describe = [](const UsageData& r) {
    return formatFixed(r.cost, 2) + (r.costSemantic == CostSemantic::periodCumulative ? " spent" : " unknown");
  };
  for (const auto& [balance, cost, costAnswer, outcome] : cases) {
    testing::ServiceWorld fresh(kNow, Provider::deepSeek);
    // The balance answers last, so that a cost outcome that wrongly stopped it would show.
    balance == 0 ? fresh.transport.respondNotHTTP(kBalanceURL)
                 : fresh.transport.handle(kBalanceURL, testing::answerAfter(std::chrono::milliseconds(30), balance,
                                                                            balanceBody({{"USD", "5", "0", "5"}})));
    std::atomic<int> cancelled{0};
    if (cost == -1) fresh.transport.handle(kCostURL, testing::blockUntilCancelled(&cancelled));
    if (cost == 0) fresh.transport.fail(kCostURL, TransportError(TransportError::Kind::timeout, "late"));
    if (cost > 0) fresh.transport.respond(kCostURL, cost, costAnswer);
    EXPECT_EQ(testing::outcomeOf([&] { return DeepSeekService(fresh.context).fetchUsage("k"); }, describe), outcome);
    EXPECT_EQ(cancelled.load(), cost == -1 ? 1 : 0) << "the cost request is joined before the error";
  }

  // One balance entry is picked.
  const std::vector<std::pair<Entries, deepseek::Balance>> balances = {
      {{{"CNY", "10.00", "0", "10"}, {"USD", "5.00", "1", "4"}}, {true, "USD", 5, 1, 4}},  // funded USD first
      {{{"CNY", "10.00", "2", "8"}, {"USD", "0.00", "0", "0"}}, {true, "CNY", 10, 2, 8}},  // then any funded
      {{{"CNY", "0.00", "0", "0"}, {"USD", "0.00", "0", "0"}}, {true, "USD", 0, 0, 0}},    // then USD
      {{{"USD", "+Inf", "0", "0"}, {"CNY", "2", "x", "1"}}, {true, "CNY", 2, 0, 1}},       // unreadable is unfunded, 0
      // Then the first; with no entry at all, nothing available.
      {{{"EUR", "0", "0", "0"}, {"GBP", "-1", "0", "0"}}, {true, "EUR", 0, 0, 0}}, {{}, {false, "USD", 0, 0, 0}}};
  for (const auto& [entries, balance] : balances) EXPECT_EQ(deepseek::readBalance(balanceBody(entries)), balance);
  const auto unavailable = deepseek::readBalance(balanceBody({{"EUR", "1.23456", "0.00004", "1.23452"}}, false));
  EXPECT_EQ(deepseek::makeUsageData(unavailable, std::nullopt, kNow).note,
            "Balance unavailable for API calls. $1.2346 total balance \u00B7 Paid: $1.2345 \u00B7 Granted: $0.0000");
}

}  // namespace
}  // namespace dapplewick
