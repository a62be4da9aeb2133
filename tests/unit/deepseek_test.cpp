#include "providers/deepseek.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "providers/json_read.hpp"
#include "support/env_guard.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const std::string kBalanceURL = "https://api.deepseek.com/user/balance";
const std::string kCostURL = "https://platform.deepseek.com/api/v0/usage/cost?month=3&year=2025";

// 2025-03-14T15:00:00Z
const Timestamp kNow{std::chrono::milliseconds(1'741'964'400'000)};

std::string balanceBody(const std::string& currency, const std::string& total, const std::string& granted,
                        const std::string& toppedUp, bool available = true) {
  return Json{{"is_available", available},
              {"balance_infos",
               {{{"currency", currency},
                 {"total_balance", total},
                 {"granted_balance", granted},
                 {"topped_up_balance", toppedUp}}}}}
      .dump();
}

std::string costBody(const std::vector<std::string>& amounts) {
  Json total = Json::array();
  for (const auto& amount : amounts) total.push_back({{"type", "chat"}, {"amount", amount}});
  return Json{{"code", 0}, {"data", {{"biz_data", {{{"total", total}}}}}}}.dump();
}

class DeepSeekTest : public ::testing::Test {
 protected:
  UsageData fetch(std::string_view credential = "sk-test", std::stop_token stop = {}) {
    return DeepSeekService(world_.context).fetchUsage(credential, stop);
  }
  std::string errorOf(std::string_view credential = "sk-test") {
    return testing::errorText([&] { fetch(credential); });
  }

  // The month of the cost query must not depend on the machine's zone.
  testing::TimeZoneGuard zone_{"UTC0"};
  testing::ServiceWorld world_{kNow};
  FakeTransport& transport_ = world_.transport;
};

TEST_F(DeepSeekTest, SendsTheBalanceAndCostRequests) {
  transport_.respond(kBalanceURL, 200, balanceBody("USD", "5.00", "1.00", "4.00"));
  transport_.respond(kCostURL, 200, costBody({"1.5"}));
  fetch("api:sk-test\n");
  ASSERT_EQ(transport_.requestCount(), 2u);
  const HTTPHeaders headers{
      {"Authorization", "Bearer sk-test"}, {"Accept", "application/json"}, {"User-Agent", "Dapplewick/1.0"}};
  for (const auto& url : {kBalanceURL, kCostURL}) {
    SCOPED_TRACE(url);
    const auto sent = transport_.requestsTo(url);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].headers, headers);
    EXPECT_EQ(sent[0].body, std::nullopt);
    EXPECT_EQ(sent[0].timeout, 60s);
  }
}

TEST(DeepSeekOrigins, UsesTheConfiguredOrigins) {
  testing::TimeZoneGuard zone("UTC0");
  testing::ServiceWorld world(kNow);
  world.origins = Origins(std::map<std::string, std::string>{{"deepseek.api", "http://127.0.0.1:8001"},
                                                             {"deepseek.platform", "http://127.0.0.1:8002"}});
  world.transport.respond("http://127.0.0.1:8001/user/balance", 200, balanceBody("USD", "1", "0", "1"));
  world.transport.respond("http://127.0.0.1:8002/api/v0/usage/cost?month=3&year=2025", 200, costBody({"2"}));
  EXPECT_EQ(DeepSeekService(world.context).fetchUsage("k").cost, 2);
}

TEST(DeepSeekMonth, TheCostQueryUsesTheLocalMonth) {
  struct Case {
    std::string zone;
    long long epochSeconds;
    std::string query;
  };
  const std::vector<Case> cases = {
      {"UTC0", 1'743'463'800, "month=3&year=2025"},     // 2025-03-31T23:30Z
      {"JST-9", 1'743'463'800, "month=4&year=2025"},    // 08:30 on April 1 in Tokyo
      {"<-08>8", 1'735'707'600, "month=12&year=2024"},  // 2025-01-01T05:00Z is still December 31 at UTC-8
      {"UTC0", 1'735'707'600, "month=1&year=2025"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone + " " + c.query);
    testing::TimeZoneGuard zone(c.zone);
    testing::ServiceWorld world(Timestamp(std::chrono::seconds(c.epochSeconds)));
    world.transport.respond(kBalanceURL, 200, balanceBody("USD", "1", "0", "1"));
    world.transport.respond("", 200, costBody({"1"}));
    DeepSeekService(world.context).fetchUsage("k");
    EXPECT_EQ(world.transport.requestsTo("https://platform.deepseek.com/api/v0/usage/cost?" + c.query).size(), 1u);
  }
}

TEST_F(DeepSeekTest, AnEmptyKeyFailsBeforeAnyRequest) {
  for (const std::string stored : {"", "  \n", "web:  ", "api:", "api:\t\r\n"}) {
    SCOPED_TRACE(stored);
    EXPECT_EQ(errorOf(stored), "Invalid DeepSeek API key");
  }
  EXPECT_EQ(transport_.requestCount(), 0u);
}

TEST_F(DeepSeekTest, BuildsTheRecord) {
  transport_.respond(kBalanceURL, 200, balanceBody("CNY", "110.5", "10", "100.5"));
  transport_.respond(kCostURL, 200, costBody({"1.5"}));
  UsageData want = UsageData::blank(Provider::deepSeek);
  want.cost = 1.5;
  want.costSemantic = CostSemantic::periodCumulative;
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000";
  EXPECT_EQ(fetch(), want);
}

TEST_F(DeepSeekTest, AReadableCostOfZeroIsStillAMonthlySpend) {
  transport_.respond(kBalanceURL, 200, balanceBody("USD", "1", "0", "1"));
  transport_.respond(kCostURL, 200, R"({"data":{"biz_data":[]}})");
  const UsageData record = fetch();
  EXPECT_EQ(record.cost, 0);
  EXPECT_EQ(record.costSemantic, CostSemantic::periodCumulative);
}

TEST_F(DeepSeekTest, AnUnreadableCostGivesNoCost) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> script;
  };
  const std::vector<Case> cases = {
      {"500", [](FakeTransport& t) { t.respond(kCostURL, 500, costBody({"3"})); }},
      {"401", [](FakeTransport& t) { t.respond(kCostURL, 401, ""); }},
      {"204", [](FakeTransport& t) { t.respond(kCostURL, 204, ""); }},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(kCostURL); }},
      {"not JSON", [](FakeTransport& t) { t.respond(kCostURL, 200, "<html>login</html>"); }},
      {"wrong shape", [](FakeTransport& t) { t.respond(kCostURL, 200, R"({"data":{"biz_data":{}}})"); }},
      {"overflowing sum", [](FakeTransport& t) { t.respond(kCostURL, 200, costBody({"1e308", "1e308"})); }},
      {"transport",
       [](FakeTransport& t) { t.fail(kCostURL, TransportError(TransportError::Kind::timeout, "timed out")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kBalanceURL, 200, balanceBody("USD", "5", "0", "5"));
    c.script(world.transport);
    const UsageData record = DeepSeekService(world.context).fetchUsage("k");
    EXPECT_EQ(record.cost, 0);
    EXPECT_EQ(record.costSemantic, CostSemantic::none);
    EXPECT_EQ(record.error, std::nullopt);
    EXPECT_EQ(record.note, "$5.0000 total balance \u00B7 Paid: $5.0000 \u00B7 Granted: $0.0000");
  }
}

TEST_F(DeepSeekTest, BalanceFailures) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> script;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"401", [](FakeTransport& t) { t.respond(kBalanceURL, 401, ""); }, "Invalid DeepSeek API key"},
      {"403", [](FakeTransport& t) { t.respond(kBalanceURL, 403, ""); }, "Invalid DeepSeek API key"},
      {"500", [](FakeTransport& t) { t.respond(kBalanceURL, 500, "{}"); }, "DeepSeek API error 500"},
      {"402", [](FakeTransport& t) { t.respond(kBalanceURL, 402, "{}"); }, "DeepSeek API error 402"},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(kBalanceURL); }, "Unexpected response from DeepSeek"},
      {"not JSON", [](FakeTransport& t) { t.respond(kBalanceURL, 200, "nope"); }, "the data is not valid JSON"},
      {"transport",
       [](FakeTransport& t) { t.fail(kBalanceURL, TransportError(TransportError::Kind::connection, "offline")); },
       "offline"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld world(kNow);
    c.script(world.transport);
    world.transport.respond(kCostURL, 200, costBody({"1"}));
    EXPECT_EQ(testing::errorText([&] { DeepSeekService(world.context).fetchUsage("k"); }), c.error);
  }
}

TEST_F(DeepSeekTest, ABalanceFailureCancelsAndJoinsTheCostRequest) {
  std::atomic<int> cancelled{0};
  transport_.handle(kCostURL, testing::blockUntilCancelled(&cancelled));
  transport_.respond(kBalanceURL, 500, "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf(), "DeepSeek API error 500");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // The cost request had finished, cancelled, by the time the error came out.
  EXPECT_EQ(cancelled.load(), 1);
}

TEST_F(DeepSeekTest, ABalanceFailureWinsOverAnEarlierCostAnswer) {
  transport_.respond(kCostURL, 200, costBody({"1"}));
  transport_.handle(kBalanceURL, testing::answerAfter(30ms, 403, ""));
  EXPECT_EQ(errorOf(), "Invalid DeepSeek API key");
}

TEST_F(DeepSeekTest, AFastCostFailureDoesNotDisturbTheBalance) {
  transport_.fail(kCostURL, TransportError(TransportError::Kind::connection, "refused"));
  transport_.handle(kBalanceURL, [](const HTTPRequest& request, std::stop_token stop) {
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(stop.stop_requested());
    HTTPResponse response;
    response.status = 200;
    response.body = balanceBody("USD", "2", "1", "1");
    response.url = request.url;
    return response;
  });
  const UsageData record = fetch();
  EXPECT_EQ(record.costSemantic, CostSemantic::none);
  EXPECT_EQ(record.note, "$2.0000 total balance \u00B7 Paid: $1.0000 \u00B7 Granted: $1.0000");
}

TEST_F(DeepSeekTest, StoppingTheFetchCancelsBothRequests) {
  transport_.handle(kBalanceURL, testing::blockUntilCancelled());
  transport_.handle(kCostURL, testing::blockUntilCancelled());
  testing::DelayedStop stop(20ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(fetch("k", stop.token()), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(DeepSeekBalanceBody, PicksOneEntry) {
  struct Entry {
    std::string currency, total, granted, toppedUp;
  };
  struct Case {
    std::string name;
    std::vector<Entry> entries;
    DeepSeekBalance want;
  };
  const std::vector<Case> cases = {
      {"a funded USD entry first", {{"CNY", "10.00", "0", "10"}, {"USD", "5.00", "1", "4"}}, {true, "USD", 5, 1, 4}},
      {"then any funded entry", {{"CNY", "10.00", "2", "8"}, {"USD", "0.00", "0", "0"}}, {true, "CNY", 10, 2, 8}},
      {"then a USD entry", {{"CNY", "0.00", "0", "0"}, {"USD", "0.00", "0", "0"}}, {true, "USD", 0, 0, 0}},
      {"then the first", {{"EUR", "0", "0", "0"}, {"GBP", "-1", "0", "0"}}, {true, "EUR", 0, 0, 0}},
      {"an unreadable total shows 0", {{"CNY", "ten", "x", ""}}, {true, "CNY", 0, 0, 0}},
      {"currency compared by case", {{"usd", "1", "0", "1"}, {"USD", "0", "0", "0"}}, {true, "usd", 1, 0, 1}},
      {"an infinite total is no funded entry", {{"USD", "+Inf", "0", "0"}, {"CNY", "2", "1", "1"}},
       {true, "CNY", 2, 1, 1}},
      {"non-finite amounts read as 0", {{"USD", "5", "NaN", "inf"}}, {true, "USD", 5, 0, 0}},
      {"white space is not trimmed", {{"USD", " 5", "0", "0"}, {"CNY", "3 ", "0", "0"}}, {true, "USD", 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json infos = Json::array();
    for (const auto& e : c.entries) {
      infos.push_back({{"currency", e.currency},
                       {"total_balance", e.total},
                       {"granted_balance", e.granted},
                       {"topped_up_balance", e.toppedUp}});
    }
    const std::string body = Json{{"is_available", true}, {"balance_infos", infos}}.dump();
    EXPECT_EQ(deepseek::readBalanceBody(body), c.want);
  }
  EXPECT_EQ(deepseek::readBalanceBody(R"({"is_available":true,"balance_infos":[]})"),
            (DeepSeekBalance{false, "USD", 0, 0, 0}));
  EXPECT_FALSE(deepseek::readBalanceBody(balanceBody("USD", "1", "0", "1", false)).isAvailable);
}

TEST(DeepSeekBalanceBody, DecodingFailures) {
  struct Case {
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {R"({"balance_infos":[]})", "missing key \"is_available\""},
      {R"({"is_available":"true","balance_infos":[]})", "expected a boolean at \"is_available\""},
      {R"({"is_available":1,"balance_infos":[]})", "expected a boolean at \"is_available\""},
      {R"({"is_available":true})", "missing key \"balance_infos\""},
      {R"({"is_available":true,"balance_infos":[{"total_balance":"1","granted_balance":"0",)"
       R"("topped_up_balance":"1"}]})",
       "missing key \"balance_infos[0].currency\""},
      {R"({"is_available":true,"balance_infos":[{"currency":"USD","total_balance":5,"granted_balance":"0",)"
       R"("topped_up_balance":"1"}]})",
       "expected a string at \"balance_infos[0].total_balance\""},
      {"", "the data is not valid JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(testing::errorText([&] { deepseek::readBalanceBody(c.body); }), c.error);
  }
}

TEST(DeepSeekCostBody, SumsTheReadableAmountsOfTheFirstItem) {
  struct Case {
    std::string name;
    std::string body;
    double sum;
  };
  const std::vector<Case> cases = {
      {"skips what is not a figure",
       R"({"data":{"biz_data":[{"total":[{"type":"a","amount":"1.25"},{"amount":"n/a"},{"type":"b"},)"
       R"({"amount":"0.75"}]},{"total":[{"amount":"100"}]}]}})",
       2.0},
      {"non-finite texts are skipped", costBody({"NaN", "Infinity", "+Inf", "-inf", "1e999", "0.5"}), 0.5},
      {"no data", "{}", 0},
      {"null data", R"({"data":null})", 0},
      {"no biz_data", R"({"data":{}})", 0},
      {"empty biz_data", R"({"data":{"biz_data":[]}})", 0},
      {"no total", R"({"data":{"biz_data":[{}]}})", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(deepseek::readCostBody(c.body), c.sum);
  }
}

TEST(DeepSeekCostBody, Failures) {
  struct Case {
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {R"({"data":{"biz_data":[{"total":[{"amount":1.5}]}]}})",
       "expected a string at \"data.biz_data[0].total[0].amount\""},
      {R"({"data":{"biz_data":[{"total":[]},{"total":{}}]}})", "expected an array at \"data.biz_data[1].total\""},
      {R"({"data":[]})", "expected an object at \"data\""},
      {"<html>", "the data is not valid JSON"},
      {costBody({"1e308", "1e308"}), "Unexpected response from DeepSeek"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(testing::errorText([&] { deepseek::readCostBody(c.body); }), c.error);
  }
}

TEST(DeepSeekBalanceNote, Texts) {
  struct Case {
    DeepSeekBalance balance;
    std::string note;
  };
  const std::vector<Case> cases = {
      {{true, "CNY", 110.5, 10, 100.5},
       "\u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: \u00A510.0000"},
      {{false, "CNY", 110.5, 10, 100.5},
       "Balance unavailable for API calls. \u00A5110.5000 total balance \u00B7 Paid: \u00A5100.5000 \u00B7 Granted: "
       "\u00A510.0000"},
      {{false, "USD", 0, 0, 0},
       "Balance unavailable for API calls. $0.0000 total balance \u00B7 Paid: $0.0000 \u00B7 Granted: $0.0000"},
      {{true, "EUR", 1.23456, 0.00004, 1.23452},
       "$1.2346 total balance \u00B7 Paid: $1.2345 \u00B7 Granted: $0.0000"},
      {{true, "cny", -2, 0, -2}, "$-2.0000 total balance \u00B7 Paid: $-2.0000 \u00B7 Granted: $0.0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    EXPECT_EQ(deepseek::balanceNote(c.balance), c.note);
  }
}

TEST(DeepSeekError, Descriptions) {
  EXPECT_STREQ(DeepSeekError::httpError(500).what(), "DeepSeek API error 500");
  EXPECT_EQ(DeepSeekError::httpError(500).code(), DeepSeekErrorCode::httpError);
  EXPECT_EQ(DeepSeekError::httpError(500).value(), 500);
  EXPECT_STREQ(DeepSeekError::invalidCredentials().what(), "Invalid DeepSeek API key");
  EXPECT_STREQ(DeepSeekError::invalidResponse().what(), "Unexpected response from DeepSeek");
}

}  // namespace
}  // namespace dapplewick
