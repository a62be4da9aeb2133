#include "providers/deepseek.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const std::string kBalanceURL = "https://api.deepseek.com/user/balance";
const std::string kCostURL = "https://platform.deepseek.com/api/v0/usage/cost?month=3&year=2025";
const Timestamp kNow{std::chrono::milliseconds(1'741'964'400'000)};  // 2025-03-14T15:00:00Z

struct Entry {
  std::string currency, total, granted, toppedUp;
};

std::string balanceBody(const std::vector<Entry>& entries, bool available = true) {
  Json infos = Json::array();
  for (const auto& e : entries) {
    infos.push_back({{"currency", e.currency},
                     {"total_balance", e.total},
                     {"granted_balance", e.granted},
                     {"topped_up_balance", e.toppedUp}});
  }
  return Json{{"is_available", available}, {"balance_infos", infos}}.dump();
}

std::string costBody(const std::vector<std::string>& amounts) {
  Json total = Json::array();
  for (const auto& amount : amounts) total.push_back({{"type", "chat"}, {"amount", amount}});
  return Json{{"code", 0}, {"data", {{"biz_data", {{{"total", total}}}}}}}.dump();
}

// Answers `status` (0: not an HTTP answer) after the other request has had time to finish, checking that its
// outcome did not cancel this one.
FakeTransport::Handler lateAnswer(int status, std::string body) {
  return [status, body](const HTTPRequest&, std::stop_token stop) {
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(stop.stop_requested());
    HTTPResponse response;
    response.isHTTP = status != 0;
    response.status = status;
    response.body = body;
    return response;
  };
}

// The cost of the record, whether it is claimed as the month's spend, and the note; or the text of the error.
std::string outcome(testing::ServiceWorld& world, std::string_view credential = "k", std::stop_token stop = {}) {
  try {
    const UsageData record = DeepSeekService(world.context).fetchUsage(credential, stop);
    const bool spent = record.costSemantic == CostSemantic::periodCumulative;
    return formatFixed(record.cost, 2) + (spent ? " spent " : " unknown ") + record.note.value_or("");
  } catch (const std::exception& error) {
    return error.what();
  }
}

class DeepSeekTest : public ::testing::Test {
 protected:
  testing::TimeZoneGuard zone{"UTC0"};  // the month of the cost query is a local one
  testing::ServiceWorld world{kNow};
  FakeTransport& transport = world.transport;
};

TEST_F(DeepSeekTest, SendsTheBalanceAndCostRequestsAndBuildsTheRecord) {
  transport.respond(kBalanceURL, 200, balanceBody({{"CNY", "110.5", "10", "100.5"}}));
  transport.respond(kCostURL, 200, costBody({"1.5"}));
  UsageData want = UsageData::blank(Provider::deepSeek);
  want.cost = 1.5;
  want.costSemantic = CostSemantic::periodCumulative;
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";
  EXPECT_EQ(DeepSeekService(world.context).fetchUsage("api:sk-test\n"), want);
  ASSERT_EQ(transport.requestCount(), 2u);
  for (const auto& url : {kBalanceURL, kCostURL}) {
    SCOPED_TRACE(url);
    const auto sent = transport.requestsTo(url);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].headers, (HTTPHeaders{{"Authorization", "Bearer sk-test"},
                                            {"Accept", "application/json"},
                                            {"User-Agent", "Dapplewick/1.0"}}));
    EXPECT_EQ(sent[0].body, std::nullopt);
    EXPECT_EQ(sent[0].timeout, 60s);
  }
}

TEST(DeepSeekMonth, TheCostQueryUsesTheLocalMonth) {
  testing::TimeZoneGuard zone("<-08>8");
  testing::ServiceWorld world(Timestamp(std::chrono::seconds(1'735'707'600)));  // 2025-01-01T05:00Z
  world.transport.respond(kBalanceURL, 200, balanceBody({{"USD", "1", "0", "1"}}));
  world.transport.respond("", 200, costBody({"1"}));
  DeepSeekService(world.context).fetchUsage("k");
  EXPECT_EQ(world.transport.requestsTo("https://platform.deepseek.com/api/v0/usage/cost?month=12&year=2024").size(),
            1u);
}

TEST_F(DeepSeekTest, AnEmptyKeyFailsBeforeAnyRequest) {
  EXPECT_EQ(outcome(world, "api:\t\r\n"), "Invalid DeepSeek API key");
  EXPECT_EQ(transport.requestCount(), 0u);
}

// A month-to-date cost of 0 would be filed in the spend history as if it were true, so an unreadable cost is none.
// The balance answers last: a cost failure must not cancel it, and its own failure ends the fetch.
TEST_F(DeepSeekTest, TheBalanceIsRequiredAndTheCostBestEffort) {
  const std::string usd = "$5.0000 total balance \u00B7 Paid: $5.0000 \u00B7 Granted: $0.0000";
  const std::vector<std::tuple<int, int, std::string, std::string>> cases = {
      {200, 200, R"({"data":{"biz_data":[]}})", "0.00 spent " + usd},
      {200, 500, costBody({"3"}), "0.00 unknown " + usd},
      {200, 200, "<html>login</html>", "0.00 unknown " + usd},
      {200, 200, costBody({"1e308", "1e308"}), "0.00 unknown " + usd},
      {200, -1, "", "0.00 unknown " + usd},
      {401, 200, costBody({"1"}), "Invalid DeepSeek API key"},
      {402, 200, costBody({"1"}), "DeepSeek API error 402"},
      {0, 200, costBody({"1"}), "Unexpected response from DeepSeek"},
  };
  for (const auto& [balanceStatus, costStatus, cost, want] : cases) {
    SCOPED_TRACE(want + " " + cost);
    testing::ServiceWorld fresh(kNow);
    fresh.transport.handle(kBalanceURL, lateAnswer(balanceStatus, balanceBody({{"USD", "5", "0", "5"}})));
    if (costStatus < 0) fresh.transport.fail(kCostURL, TransportError(TransportError::Kind::timeout, "late"));
    if (costStatus >= 0) fresh.transport.respond(kCostURL, costStatus, cost);
    EXPECT_EQ(outcome(fresh), want);
  }
}

TEST_F(DeepSeekTest, ABalanceFailureCancelsAndJoinsTheCostRequest) {
  std::atomic<int> cancelled{0};
  transport.handle(kCostURL, testing::blockUntilCancelled(&cancelled));
  transport.respond(kBalanceURL, 500, "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(world), "DeepSeek API error 500");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(cancelled.load(), 1) << "the cost request had finished by the time the error came out";
}

TEST_F(DeepSeekTest, StoppingTheFetchCancelsBothRequests) {
  transport.handle(kBalanceURL, testing::blockUntilCancelled());
  transport.handle(kCostURL, testing::blockUntilCancelled());
  testing::DelayedStop stop(20ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(world, "k", stop.token()), "cancelled");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(DeepSeekBalanceBody, PicksOneEntry) {
  struct Case {
    std::vector<Entry> entries;
    DeepSeekBalance want;
  };
  const std::vector<Case> cases = {
      {{{"CNY", "10.00", "0", "10"}, {"USD", "5.00", "1", "4"}}, {true, "USD", 5, 1, 4}},  // funded USD first
      {{{"CNY", "10.00", "2", "8"}, {"USD", "0.00", "0", "0"}}, {true, "CNY", 10, 2, 8}},  // then any funded
      {{{"CNY", "0.00", "0", "0"}, {"USD", "0.00", "0", "0"}}, {true, "USD", 0, 0, 0}},    // then USD
      {{{"EUR", "0", "0", "0"}, {"GBP", "-1", "0", "0"}}, {true, "EUR", 0, 0, 0}},         // then the first
      {{{"USD", "+Inf", "0", "0"}, {"CNY", "2", "1", "1"}}, {true, "CNY", 2, 1, 1}},       // infinity is no funding
      {{{"USD", "5", "NaN", "inf"}, {"CNY", "ten", "x", ""}}, {true, "USD", 5, 0, 0}},
      {{}, {false, "USD", 0, 0, 0}},  // no entry at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(balanceBody(c.entries));
    EXPECT_EQ(deepseek::readBalanceBody(balanceBody(c.entries)), c.want);
  }
  EXPECT_EQ(testing::errorText([&] { deepseek::readBalanceBody(R"({"balance_infos":[]})"); }),
            "missing key \"is_available\"");
}

TEST(DeepSeekCostBody, SumsTheReadableAmountsOfTheFirstItemOrFails) {
  const auto read = [](const std::string& body) -> std::string {
    try {
      return formatFixed(deepseek::readCostBody(body), 2);
    } catch (const std::exception& error) {
      return error.what();
    }
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"data":{"biz_data":[{"total":[{"type":"a","amount":"1.25"},{"amount":"n/a"},{"type":"b"},)"
       R"({"amount":"0.75"}]},{"total":[{"amount":"100"}]}]}})",
       "2.00"},
      {costBody({"NaN", "Infinity", "+Inf", "-inf", "1e999", "0.5"}), "0.50"},
      {costBody({"1e308", "1e308"}), "Unexpected response from DeepSeek"},
      {R"({"data":{"biz_data":[{"total":[{"amount":1.5}]}]}})",
       "expected a string at \"data.biz_data[0].total[0].amount\""},
      {R"({"data":{"biz_data":[{"total":[]},{"total":{}}]}})", "expected an array at \"data.biz_data[1].total\""},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(read(body), want) << body;
}

TEST(DeepSeekBalanceNote, WarnsWhenTheBalanceCannotBeUsed) {
  EXPECT_EQ(
      deepseek::balanceNote(deepseek::readBalanceBody(balanceBody({{"EUR", "1.23456", "0.00004", "1.23452"}}, false))),
      "Balance unavailable for API calls. $1.2346 total balance \u00B7 Paid: $1.2345 \u00B7 Granted: $0.0000");
}

}  // namespace
}  // namespace dapplewick
