#include "providers/mimo.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "common/dates.hpp"
#include "providers/shared/user_agents.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kOrigin = "https://platform.xiaomimimo.com", kBalanceURL = kOrigin + "/api/v1/balance";
const std::string kDetailURL = kOrigin + "/api/v1/tokenPlan/detail", kUsageURL = kOrigin + "/api/v1/tokenPlan/usage";
const Timestamp kNow{1'760'000'000'000ms};

std::string balance(const std::string& amount, int code = 0, const std::string& currency = "CNY") {
  return R"({"code":)" + std::to_string(code) + R"(,"data":{"balance":")" + amount + R"(","currency":")" + currency +
         "\"}}";
}
std::string detail(const std::string& fields) { return R"({"code":0,"data":{)" + fields + "}}"; }
const std::string kDetail = detail(R"("planCode":"lite","currentPeriodEnd":"2026-01-31 23:59:59","expired":false)");
std::string usage(const std::string& limit, const std::string& percent, const std::string& more = "", int code = 0) {
  return R"({"code":)" + std::to_string(code) +
         R"(,"data":{"monthUsage":{"percent":0.5,"items":[{"name":"tokens",)"
         R"("used":1,"limit":)" +
         limit + R"(,"percent":)" + percent + "}" + more + "]}}}";
}

TEST(MiMoService, SendsThreeConsoleReadsWithTheSortedCookies) {
  testing::ServiceWorld world(kNow, Provider::mimo);
  world.transport.respond(kBalanceURL, 200, balance("12.50", 0, " CNY "));
  world.transport.respond(kDetailURL, 200, kDetail);
  world.transport.respond(kUsageURL, 200, usage("1000", "0.375"));
  // Every field in order: id, provider, used, limit, cost, costSemantic, resetAt, resetPeriod, lastUpdated, error,
  // note, isLoading, auxiliaryUsage.
  // clang-format off
  EXPECT_EQ(MiMoService(world.context).fetchUsage(" userId=7; other=x ;api-platform_serviceToken=t=1\n"),
            (UsageData{Provider::mimo, Provider::mimo, 37.5, 100, 0, CostSemantic::balance,
                       parseInternetDate("2026-01-31T23:59:59Z"), ResetPeriod::monthly, kNow, {},
                       "Plan: Lite \u00B7 Balance: 12.5 CNY", false, {}}));
  // clang-format on
  for (const auto& url : {kBalanceURL, kDetailURL, kUsageURL}) {
    EXPECT_EQ(testing::requestText(world.transport.requestsTo(url).at(0)),
              "GET " + url +
                  " (60000 ms)\nAccept: application/json, text/plain, */*\nCookie: api-platform_service"
                  "Token=t=1; userId=7\nAccept-Language: en-US,en;q=0.9\nx-timeZone: UTC+01:00\nOrigin: " +
                  kOrigin + "\nReferer: " + kOrigin +
                  "/#/console/balance\nUser-Agent: " + std::string(kChrome143UserAgent) + "\n\n(no body)");
  }
}

// The balance is required: its failure cancels and joins the plan reads before it is thrown. The plan reads are
// best effort: any failure of theirs leaves their part out.
TEST(MiMoService, TheBalanceIsRequiredAndThePlanReadsBestEffort) {
  // The status of each read, or what stands in for one.
  enum : int { kNotHTTP = 0, kBlock = -1, kFail = -2 };  // not HTTP; no answer until cancelled; a transport failure
  struct Case {
    int balance, detail, usage;
    std::string want;
  };
  const std::string noReset = " monthly cost 0 balance 'Balance: 5 CNY'";
  const std::vector<Case> cases = {
      {.balance = 200, .detail = 500, .usage = kFail, .want = "5/0" + noReset},
      {.balance = 200,
       .detail = 200,
       .usage = 500,
       .want = "5/0 monthly @2026-01-31T23:59:59Z cost 0 balance 'Balance: 5 CNY'"},
      {.balance = 200, .detail = kFail, .usage = 200, .want = "25/100" + noReset},
      {.balance = 401, .detail = kBlock, .usage = kBlock, .want = "Xiaomi MiMo login required"},
      {.balance = 403,
       .detail = kBlock,
       .usage = kBlock,
       .want = "Xiaomi MiMo session expired \u2014 please log in again"},
      {.balance = 500, .detail = kBlock, .usage = kBlock, .want = "Xiaomi MiMo API error 500"},
      {.balance = kNotHTTP, .detail = kBlock, .usage = kBlock, .want = "Unexpected response from Xiaomi MiMo"},
  };
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow, Provider::mimo);
    // A successful balance answers last, so the plan reads' outcomes are known before it.
    const auto late = testing::answerAfter(30ms, c.balance, balance("5"));
    c.balance == kNotHTTP ? world.transport.respondNotHTTP(kBalanceURL) : world.transport.handle(kBalanceURL, late);
    std::atomic<int> cancelled{0};
    for (const auto& [url, status, body] :
         {std::tuple{kDetailURL, c.detail, kDetail}, std::tuple{kUsageURL, c.usage, usage("8", "0.25")}}) {
      if (status == kBlock) world.transport.handle(url, testing::blockUntilCancelled(&cancelled));
      if (status == kFail) world.transport.fail(url, TransportError(TransportError::Kind::timeout, "late"));
      if (status > 0) world.transport.respond(url, status, body);
    }
    EXPECT_EQ(testing::outcomeOf([&] { return MiMoService(world.context).fetchUsage("t"); }, asText), c.want);
    EXPECT_EQ(cancelled.load(), c.detail == kBlock ? 2 : 0) << "the plan reads are joined before the error";
  }
}

TEST(MiMoUsage, CookiesBalanceAndPlan) {
  // Known cookies, sorted, only with both required ones; anything else is passed on trimmed.
  const std::vector<std::pair<std::string, std::optional<std::string>>> cookies = {
      {"userId = 1 ; x=2;api-platform_slh=s; api-platform_serviceToken= t ;;api-platform_ph=p\n",
       "api-platform_ph=p; api-platform_serviceToken=t; api-platform_slh=s; userId=1"},
      {"userId=1; userId=2; api-platform_serviceToken=a==; api-platform_ph=",
       "api-platform_serviceToken=a==; userId=2"},
      {"api-platform_serviceToken=t; userid=1; x=2", "api-platform_serviceToken=t; userid=1; x=2"},
      {"api-platform_serviceToken=t; userId=", "api-platform_serviceToken=t; userId="},
      {" bare-token ", "bare-token"},
  };
  for (const auto& [credential, want] : cookies) EXPECT_EQ(mimo::normalizeCookie(credential), want) << credential;
  struct Case {
    std::string balance;
    std::optional<std::string> detail{}, usage{};
    std::string want;
  };
  const std::string one = balance("1"), plan = usage("1000", "0.375"), fail = "Failed to parse Xiaomi MiMo response: ";
  const std::string reset = " monthly @2026-01-31T23:59:59Z cost 0 balance '", noReset = " monthly cost 0 balance '";
  // clang-format off
  std::vector<Case> cases = {
      {.balance = balance("1234567.123456", 0, ""), .detail = kDetail,
       .want = "1234567.123456/0" + reset + "Balance: 1234567.1235 '"},
      {.balance = one, .detail = kDetail, .usage = usage("1000", "1.2"),
       .want = "100/100" + reset + "Plan: Lite \u00B7 Balance: 1 CNY'"},
      // Only the first item counts, and only with an allowance.
      {.balance = one, .detail = kDetail,
       .usage = usage("0", "0.5", R"(,{"name":"tokens","used":1,"limit":10,"percent":0.5})"),
       .want = "1/0" + reset + "Balance: 1 CNY'"},
      {.balance = one, .detail = kDetail, .usage = usage("10", "0.5", "", 1),
       .want = "1/0" + reset + "Balance: 1 CNY'"},
      // A detail that does not decode gives neither plan name nor reset.
      {.balance = one, .detail = detail(R"("planCode":"lite","currentPeriodEnd":"2026-01-31 23:59:59")"),
       .usage = plan, .want = "37.5/100" + noReset + "Balance: 1 CNY'"},
      {.balance = one,
       .detail = detail(R"("planCode":"pro MAX","currentPeriodEnd":"2026-01-31T23:59:59Z","expired":true)"),
       .usage = plan, .want = "37.5/100" + noReset + "Plan: Pro Max \u00B7 Balance: 1 CNY'"},
      {.balance = balance("1", 500), .want = fail + "code 500"},
      {.balance = balance("1", 401), .want = "Xiaomi MiMo login required"},
      {.balance = balance("1", 403), .want = "Xiaomi MiMo session expired \u2014 please log in again"},
      {.balance = R"({"code":0})", .want = fail + "Missing balance payload"},
  };
  // clang-format on
  // Balances are read strictly: no blanks, no empty text, only finite decimal numbers.
  for (const std::string bad : {" 12.5", "", "12.5 ", "NaN", "inf", "0x10", "1e999"}) {
    cases.push_back({.balance = balance(bad), .want = fail + "Invalid balance value"});
  }
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.balance + " " + c.detail.value_or("-") + " " + c.usage.value_or("-"));
    EXPECT_EQ(testing::outcomeOf([&] { return mimo::buildUsage(c.balance, c.detail, c.usage, kNow); }, asText), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
