#include "providers/deepseek.hpp"

#include <gtest/gtest.h>

#include "common/json_document.hpp"
#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using Entries = std::vector<std::array<std::string, 4>>;  // currency, total, granted, topped up
const std::string kBalanceURL = "https://api.deepseek.com/user/balance";
// The cost query names the local month: December 2024 west of Greenwich, though January 2025 in UTC.
const std::string kCostURL = "https://platform.deepseek.com/api/v0/usage/cost?month=12&year=2024";
const Timestamp kNow{std::chrono::seconds(1'735'707'600)};  // 2025-01-01T05:00Z
using testing::kNotHTTP;
// Statuses that stand for no answer at all, and for none until the request is cancelled.
constexpr int kTimedOut = -1, kUntilCancelled = -2;
std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

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
  const std::string note = " '$5.0000 total balance \u00B7 Paid: $5.0000 \u00B7 Granted: $0.0000'";
  const std::string unknown = "0/0 monthly" + note, funded = balanceBody({{"USD", "5", "0", "5"}});
  const auto spent = [&](const std::string& cost) { return "0/0 monthly cost " + cost + " periodCumulative" + note; };
  // The balance answer's status, the cost answer's status and body, the outcome.
  struct Case {
    int balance = 200, cost = 200;
    std::string costAnswer = "", want;
  };
  const Case cases[] = {
      {.costAnswer = R"({"data":{"biz_data":[]}})", .want = spent("0")},
      {.costAnswer = costBody(R"({"amount":1.5})"), .want = unknown},
      // The readable amounts of the first item count; every item must decode.
      {.costAnswer = costBody(R"({"type":"a","amount":"1.25"},{"amount":"n/a"},{"type":"b"},{"amount":"0.75"})",
                              R"(,{"total":[{"amount":"100"}]})"),
       .want = spent("2")},
      {.costAnswer = costBody("", R"(,{"total":{}})"), .want = unknown},
      {.cost = 500, .costAnswer = costBody(R"({"amount":"3"})"), .want = unknown},
      // A sum that is no finite figure.
      {.costAnswer = costBody(R"({"amount":"1e308"},{"amount":"1e308"})"), .want = unknown},
      {.cost = kTimedOut, .want = unknown},
      {.balance = 401, .want = "Invalid DeepSeek API key"},
      {.balance = 500, .cost = kUntilCancelled, .want = "DeepSeek API error 500"},
      {.balance = kNotHTTP, .want = "Unexpected response from DeepSeek"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.balance) + " " + std::to_string(c.cost) + " " + c.costAnswer);
    testing::ServiceWorld fresh(kNow, Provider::deepSeek);
    // The balance answers last, so that a cost outcome that wrongly stopped it would show.
    const auto late = testing::answerAfter(std::chrono::milliseconds(30), c.balance, funded);
    c.balance == kNotHTTP ? fresh.transport.respondNotHTTP(kBalanceURL) : fresh.transport.handle(kBalanceURL, late);
    std::atomic<int> cancelled{0};
    if (c.cost == kUntilCancelled) fresh.transport.handle(kCostURL, testing::blockUntilCancelled(&cancelled));
    if (c.cost == kTimedOut) fresh.transport.fail(kCostURL, TransportError(TransportError::Kind::timeout, "late"));
    if (c.cost > 0) fresh.transport.respond(kCostURL, c.cost, c.costAnswer);
    EXPECT_EQ(testing::outcomeOf([&] { return DeepSeekService(fresh.context).fetchUsage("k"); }, show), c.want);
    EXPECT_EQ(cancelled.load(), c.cost == kUntilCancelled ? 1 : 0) << "the cost request is joined before the error";
  }

  // One balance entry is picked.
  const std::vector<std::pair<Entries, deepseek::Balance>> balances = {
      {{{"CNY", "10.00", "0", "10"}, {"USD", "5.00", "1", "4"}}, {true, "USD", 5, 1, 4}},  // funded USD first
      {{{"CNY", "10.00", "2", "8"}, {"USD", "0.00", "0", "0"}}, {true, "CNY", 10, 2, 8}},  // then any funded
      {{{"CNY", "0.00", "0", "0"}, {"USD", "0.00", "0", "0"}}, {true, "USD", 0, 0, 0}},    // then USD
      {{{"USD", "+Inf", "0", "0"}, {"CNY", "2", "x", "1"}}, {true, "CNY", 2, 0, 1}},       // unreadable is unfunded, 0
      // Then the first; with no entry at all, nothing available.
      {{{"EUR", "0", "0", "0"}, {"GBP", "-1", "0", "0"}}, {true, "EUR", 0, 0, 0}},
      {{}, {false, "USD", 0, 0, 0}}};
  for (const auto& [entries, balance] : balances) EXPECT_EQ(deepseek::readBalance(balanceBody(entries)), balance);
  const auto unavailable = deepseek::readBalance(balanceBody({{"EUR", "1.23456", "0.00004", "1.23452"}}, false));
  EXPECT_EQ(deepseek::makeUsageData(unavailable, std::nullopt, kNow).note,
            "Balance unavailable for API calls. $1.2346 total balance \u00B7 Paid: $1.2345 \u00B7 Granted: $0.0000");
}

}  // namespace
}  // namespace dapplewick
