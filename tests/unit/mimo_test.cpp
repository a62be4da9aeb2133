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

const std::string kOrigin = "https://platform.xiaomimimo.com";
const std::string kBalanceURL = kOrigin + "/api/v1/balance";
const std::string kDetailURL = kOrigin + "/api/v1/tokenPlan/detail";
const std::string kUsageURL = kOrigin + "/api/v1/tokenPlan/usage";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string balance(const std::string& amount, const std::string& currency = "CNY", int code = 0) {
  return R"({"code":)" + std::to_string(code) + R"(,"message":"ok","data":{"balance":")" + amount +
         R"(","currency":")" + currency + R"("}})";
}
std::string detail(const std::string& fields) { return R"({"code":0,"data":{)" + fields + "}}"; }
const std::string kDetail = detail(R"("planCode":"lite","currentPeriodEnd":"2026-01-31 23:59:59","expired":false)");
std::string usage(const std::string& items, int code = 0) {
  return R"({"code":)" + std::to_string(code) + R"(,"data":{"monthUsage":{"percent":0.5,"items":[)" + items + "]}}}";
}
std::string item(const std::string& limit, const std::string& percent) {
  return R"({"name":"tokens","used":1,"limit":)" + limit + R"(,"percent":)" + percent + "}";
}

std::string describe(const UsageData& r) {
  return formatDecimal(r.used, 4, false).value_or("?") + "/" + formatFixed(r.limit, 0) + " " +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + r.note.value_or("");
}

TEST(MiMoService, SendsThreeConsoleReadsWithTheSortedCookies) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kBalanceURL, 200, balance("12.50", " CNY "));
  world.transport.respond(kDetailURL, 200, kDetail);
  world.transport.respond(kUsageURL, 200, usage(item("1000", "0.375")));
  UsageData want = UsageData::blank(Provider::mimo);
  want.used = 37.5;
  want.limit = 100;
  want.costSemantic = CostSemantic::balance;
  want.resetAt = parseInternetDate("2026-01-31T23:59:59Z");
  want.lastUpdated = kNow;
  want.note = "Plan: Lite \u00B7 Balance: 12.5 CNY";
  EXPECT_EQ(MiMoService(world.context).fetchUsage(" userId=7; other=x ;api-platform_serviceToken=t=1\n"), want);
  for (const auto& url : {kBalanceURL, kDetailURL, kUsageURL}) {
    EXPECT_EQ(testing::requestText(world.transport.requestsTo(url).at(0)),
              "GET " + url + " (60000 ms)\nAccept: application/json, text/plain, */*\nCookie: api-platform_service"
              "Token=t=1; userId=7\nAccept-Language: en-US,en;q=0.9\nx-timeZone: UTC+01:00\nOrigin: " + kOrigin +
              "\nReferer: " + kOrigin + "/#/console/balance\nUser-Agent: " + std::string(kChrome143UserAgent) +
              "\n\n(no body)");
  }
}

TEST(MiMoCookie, KnownCookiesSortedOnlyWithBothRequiredOnes) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {" \n", std::nullopt},
      {"userId = 1 ; x=2;api-platform_slh=s; api-platform_serviceToken= t ;;api-platform_ph=p\n",
       "api-platform_ph=p; api-platform_serviceToken=t; api-platform_slh=s; userId=1"},
      {"userId=1; userId=2; api-platform_serviceToken=a==; api-platform_ph=",
       "api-platform_serviceToken=a==; userId=2"},
      {"api-platform_serviceToken=t; userid=1; x=2", "api-platform_serviceToken=t; userid=1; x=2"},
      {"api-platform_serviceToken=t; userId=", "api-platform_serviceToken=t; userId="},
      {" bare-token ", "bare-token"},
  };
  for (const auto& [credential, want] : cases) EXPECT_EQ(mimo::normalizeCookie(credential), want) << credential;
}

// The balance is required: its failure cancels and joins the plan reads before it is thrown. The plan reads are
// best effort: any failure of theirs leaves their part out.
TEST(MiMoService, TheBalanceIsRequiredAndThePlanReadsBestEffort) {
  constexpr int kBlocks = -1;  // until cancelled
  constexpr int kFails = -2;   // transport failure
  struct Case {
    int balanceStatus, detailStatus, usageStatus;  // 0: an answer that is not HTTP
    std::string want;
  };
  const std::vector<Case> cases = {
      {200, 500, kFails, "5/0 - Balance: 5 CNY"},
      {200, 200, 0, "5/0 2026-01-31T23:59:59Z Balance: 5 CNY"},
      {200, kFails, 200, "25/100 - Balance: 5 CNY"},
      {403, kBlocks, kBlocks, "Xiaomi MiMo session expired \u2014 please log in again"},
      {401, kBlocks, kBlocks, "Xiaomi MiMo login required"},
      {500, kBlocks, kBlocks, "Xiaomi MiMo API error 500"},
      {0, kBlocks, kBlocks, "Unexpected response from Xiaomi MiMo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow);
    // The balance answers last, so the plan reads' outcomes are known before it.
    const auto late = testing::answerAfter(30ms, c.balanceStatus, balance("5"));
    world.transport.handle(kBalanceURL, [&late, &c](const HTTPRequest& request, std::stop_token stop) {
      HTTPResponse response = late(request, stop);
      response.isHTTP = c.balanceStatus != 0;
      return response;
    });
    std::atomic<int> cancelled{0};
    for (const auto& [url, status, body] : {std::tuple{kDetailURL, c.detailStatus, kDetail},
                                            std::tuple{kUsageURL, c.usageStatus, usage(item("8", "0.25"))}}) {
      if (status == kBlocks) world.transport.handle(url, testing::blockUntilCancelled(&cancelled));
      if (status == kFails) world.transport.fail(url, TransportError(TransportError::Kind::timeout, "late"));
      if (status == 0) world.transport.respondNotHTTP(url);
      if (status > 0) world.transport.respond(url, status, body);
    }
    EXPECT_EQ(testing::outcomeOf([&] { return MiMoService(world.context).fetchUsage("t"); }, describe), c.want);
    EXPECT_EQ(cancelled.load(), c.detailStatus == kBlocks ? 2 : 0) << "the plan reads are joined before the error";
  }
}

TEST(MiMoUsage, ReadsTheBalanceAndThePlan) {
  struct Case {
    std::string balance;
    std::optional<std::string> detail, usage;
    std::string want;
  };
  const std::optional<std::string> none;
  const std::string plan = usage(item("1000", "0.375"));
  const std::string reset = "2026-01-31T23:59:59Z ";
  const std::vector<Case> cases = {
      {balance("12.50", " CNY "), none, none, "12.5/0 - Balance: 12.5 CNY"},
      {balance("1234567.123456", ""), kDetail, none, "1234567.1235/0 " + reset + "Balance: 1234567.1235 "},
      {balance("1"), kDetail, usage(item("1000", "1.2")), "100/100 " + reset + "Plan: Lite \u00B7 Balance: 1 CNY"},
      // Only the first item counts, and only with an allowance.
      {balance("1"), kDetail, usage(item("0", "0.5") + "," + item("10", "0.5")), "1/0 " + reset + "Balance: 1 CNY"},
      {balance("1"), kDetail, usage(item("10", "0.5"), 1), "1/0 " + reset + "Balance: 1 CNY"},
      {balance("1"), none, usage(""), "1/0 - Balance: 1 CNY"},
      // A detail that does not decode gives neither plan name nor reset.
      {balance("1"), detail(R"("planCode":"lite","currentPeriodEnd":"2026-01-31 23:59:59")"), plan,
       "37.5/100 - Balance: 1 CNY"},
      {balance("1"), detail(R"("planCode":"pro MAX","currentPeriodEnd":"2026-01-31T23:59:59Z","expired":true)"), plan,
       "37.5/100 - Plan: Pro Max \u00B7 Balance: 1 CNY"},
      {balance("1", "CNY", 500), none, none, "Failed to parse Xiaomi MiMo response: code 500"},
      {balance("1", "CNY", 403), none, none, "Xiaomi MiMo session expired \u2014 please log in again"},
      {balance("1", "CNY", 401), none, none, "Xiaomi MiMo login required"},
      {R"({"code":0})", none, none, "Failed to parse Xiaomi MiMo response: Missing balance payload"},
      {R"({"code":403,"data":{"balance":"1"}})", none, none, "missing key \"data.currency\""},
  };
  for (const std::string bad : {" 12.5", "", "12.5 ", "NaN", "inf", "0x10", "1e999"}) {
    EXPECT_EQ(testing::errorText([&] { mimo::buildUsage(balance(bad), std::nullopt, std::nullopt, kNow); }),
              "Failed to parse Xiaomi MiMo response: Invalid balance value")
        << bad;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.balance);
    EXPECT_EQ(testing::outcomeOf([&] { return mimo::buildUsage(c.balance, c.detail, c.usage, kNow); }, describe),
              c.want);
  }
}

}  // namespace
}  // namespace dapplewick
