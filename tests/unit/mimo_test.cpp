#include "providers/mimo.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "providers/shared/user_agents.hpp"
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
  return R"({"code":)" + std::to_string(code) + R"(,"data":{"monthUsage":{"percent":0.5,"items":[{"name":"tokens",)"
         R"("used":1,"limit":)" + limit + R"(,"percent":)" + percent + "}" + more + "]}}}";
}

std::string shown(const UsageData& r) {
  return formatDecimal(r.used, 4, false).value_or("?") + "/" + formatFixed(r.limit, 0) + " " +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + r.note.value_or("");
}

TEST(MiMoService, SendsThreeConsoleReadsWithTheSortedCookies) {
  testing::ServiceWorld world(kNow, Provider::mimo);
  world.transport.respond(kBalanceURL, 200, balance("12.50", 0, " CNY "));
  world.transport.respond(kDetailURL, 200, kDetail);
  world.transport.respond(kUsageURL, 200, usage("1000", "0.375"));
  // Every field in order: id, provider, used, limit, cost, costSemantic, resetAt, resetPeriod, lastUpdated, error,
  // note, isLoading, auxiliaryUsage.
  EXPECT_EQ(MiMoService(world.context).fetchUsage(" userId=7; other=x ;api-platform_serviceToken=t=1\n"),
            (UsageData{Provider::mimo, Provider::mimo, 37.5, 100, 0, CostSemantic::balance,
                       parseInternetDate("2026-01-31T23:59:59Z"), ResetPeriod::monthly, kNow, {},
                       "Plan: Lite \u00B7 Balance: 12.5 CNY", false, {}}));
  for (const auto& url : {kBalanceURL, kDetailURL, kUsageURL}) {
    EXPECT_EQ(testing::requestText(world.transport.requestsTo(url).at(0)),
              "GET " + url + " (60000 ms)\nAccept: application/json, text/plain, */*\nCookie: api-platform_service"
              "Token=t=1; userId=7\nAccept-Language: en-US,en;q=0.9\nx-timeZone: UTC+01:00\nOrigin: " + kOrigin +
              "\nReferer: " + kOrigin + "/#/console/balance\nUser-Agent: " + std::string(kChrome143UserAgent) +
              "\n\n(no body)");
  }
}

// The balance is required: its failure cancels and joins the plan reads before it is thrown. The plan reads are
// best effort: any failure of theirs leaves their part out.
TEST(MiMoService, TheBalanceIsRequiredAndThePlanReadsBestEffort) {
  enum : int { kBlock = -1, kFail = -2 };  // until cancelled; a transport failure
  struct Case { int balanceStatus, detailStatus, usageStatus; std::string want; };  // 0: an answer that is not HTTP
  const std::vector<Case> cases = {
      {200, 500, kFail, "5/0 - Balance: 5 CNY"}, {200, 200, 500, "5/0 2026-01-31T23:59:59Z Balance: 5 CNY"},
      {200, kFail, 200, "25/100 - Balance: 5 CNY"}, {401, kBlock, kBlock, "Xiaomi MiMo login required"},
      {403, kBlock, kBlock, "Xiaomi MiMo session expired \u2014 please log in again"},
      {500, kBlock, kBlock, "Xiaomi MiMo API error 500"}, {0, kBlock, kBlock, "Unexpected response from Xiaomi MiMo"},
  };
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::mimo);
    // A successful balance answers last, so the plan reads' outcomes are known before it.
    const auto late = testing::answerAfter(30ms, c.balanceStatus, balance("5"));
    c.balanceStatus == 0 ? world.transport.respondNotHTTP(kBalanceURL) : world.transport.handle(kBalanceURL, late);
    std::atomic<int> cancelled{0};
    for (const auto& [url, status, body] : {std::tuple{kDetailURL, c.detailStatus, kDetail},
                                            std::tuple{kUsageURL, c.usageStatus, usage("8", "0.25")}}) {
      if (status == kBlock) world.transport.handle(url, testing::blockUntilCancelled(&cancelled));
      if (status == kFail) world.transport.fail(url, TransportError(TransportError::Kind::timeout, "late"));
      if (status > 0) world.transport.respond(url, status, body);
    }
    EXPECT_EQ(testing::outcomeOf([&] { return MiMoService(world.context).fetchUsage("t"); }, shown), c.want);
    EXPECT_EQ(cancelled.load(), c.detailStatus == kBlock ? 2 : 0) << "the plan reads are joined before the error";
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
      {"api-platform_serviceToken=t; userId=", "api-platform_serviceToken=t; userId="}, {" bare-token ", "bare-token"},
  };
  for (const auto& [credential, want] : cookies) EXPECT_EQ(mimo::normalizeCookie(credential), want) << credential;
  struct Case { std::string balance; std::optional<std::string> detail, usage; std::string want; };
  const std::string one = balance("1"), plan = usage("1000", "0.375"), reset = "2026-01-31T23:59:59Z ";
  const std::string fail = "Failed to parse Xiaomi MiMo response: ", plain = "1/0 " + reset + "Balance: 1 CNY";
  std::vector<Case> cases = {
      {balance("1234567.123456", 0, ""), kDetail, {}, "1234567.1235/0 " + reset + "Balance: 1234567.1235 "},
      {one, kDetail, usage("1000", "1.2"), "100/100 " + reset + "Plan: Lite \u00B7 Balance: 1 CNY"},
      // Only the first item counts, and only with an allowance.
      {one, kDetail, usage("0", "0.5", R"(,{"name":"tokens","used":1,"limit":10,"percent":0.5})"), plain},
      {one, kDetail, usage("10", "0.5", "", 1), plain},
      // A detail that does not decode gives neither plan name nor reset.
      {one, detail(R"("planCode":"lite","currentPeriodEnd":"2026-01-31 23:59:59")"), plan,
       "37.5/100 - Balance: 1 CNY"},
      {one, detail(R"("planCode":"pro MAX","currentPeriodEnd":"2026-01-31T23:59:59Z","expired":true)"), plan,
       "37.5/100 - Plan: Pro Max \u00B7 Balance: 1 CNY"},
      {balance("1", 500), {}, {}, fail + "code 500"}, {balance("1", 401), {}, {}, "Xiaomi MiMo login required"},
      {balance("1", 403), {}, {}, "Xiaomi MiMo session expired \u2014 please log in again"},
      {R"({"code":0})", {}, {}, fail + "Missing balance payload"},
  };
  // Balances are read strictly: no blanks, no empty text, only finite decimal numbers.
  for (const std::string bad : {" 12.5", "", "12.5 ", "NaN", "inf", "0x10", "1e999"}) {
    cases.push_back({balance(bad), {}, {}, fail + "Invalid balance value"});
  }
  for (const auto& c : cases) {
    EXPECT_EQ(testing::outcomeOf([&] { return mimo::buildUsage(c.balance, c.detail, c.usage, kNow); }, shown), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
