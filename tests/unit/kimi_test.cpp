#include "providers/kimi.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://www.kimi.com/apiv2/kimi.gateway.billing.v1.BillingService/GetUsages";
const Timestamp kNow{std::chrono::seconds(1'765'000'000)};
// Claims {"device_id":"dev-1","sub":"user-9","n":1}, no "ssid".
const std::string kToken = "eyJhbGciOiJIUzI1NiJ9.eyJkZXZpY2VfaWQiOiJkZXYtMSIsInN1YiI6InVzZXItOSIsIm4iOjF9.sig";

std::string coding(const std::string& detail, const std::string& more = "") {
  return R"({"usages":[{"scope":"FEATURE_CODING","detail":)" + detail + more + "}]}";
}

TEST(KimiService, SendsTheUsagesRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.environment.set("TZ", "Asia/Shanghai");
  world.transport.respond(
      kURL, 200,
      R"({"usages":[{"scope":"FEATURE_CHAT","detail":{"limit":"1"}},{"scope":"FEATURE_CODING","detail":)"
      R"({"limit":"2000","used":"120","resetTime":"2026-12-07T00:00:00Z"},"limits":[{"detail":{"limit":"50",)"
      R"("used":"5","resetTime":"2026-12-06T20:00:00.250Z"}},{"detail":{"limit":"1","used":"1"}}]},)"
      R"({"scope":"FEATURE_CODING","detail":{"limit":"1"}}]})");
  UsageData window = UsageData::blank(Provider::kimi);
  window.used = 10;
  window.limit = 100;
  window.resetAt = Timestamp{std::chrono::milliseconds(1'796'587'200'250)};
  window.resetPeriod = ResetPeriod::window;
  window.lastUpdated = kNow;
  UsageData want = window;
  want.used = 6;
  want.resetAt = Timestamp{std::chrono::seconds(1'796'601'600)};
  want.resetPeriod = ResetPeriod::weekly;
  want.note = "Kimi coding usage: 120/2000 requests this week.";
  want.auxiliaryUsage = {window};
  EXPECT_EQ(KimiService(world.context).fetchUsage(kToken), want);
  ASSERT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(testing::requestText(world.transport.requests()[0]),
            "POST " + kURL + " (60000 ms)\nContent-Type: application/json\nAuthorization: Bearer " + kToken +
                "\nCookie: kimi-auth=" + kToken +
                "\nOrigin: https://www.kimi.com\nReferer: https://www.kimi.com/code/console\nAccept: */*\n"
                "Accept-Language: en-US,en;q=0.9\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 Safari/537.36\nconnect-protocol-version: 1\n"
                "x-language: en-US\nx-msh-platform: web\nr-timezone: Asia/Shanghai\nx-msh-device-id: dev-1\n"
                "x-traffic-id: user-9\n\n"
                R"({"scope":["FEATURE_CODING"]})");
}

TEST(KimiTokenClaims, ThreePiecesBase64URLJsonStringClaims) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // At most two splits, empty pieces dropped; exactly three pieces.
      {"h..eyJzdWIiOiJhIn0.s.x", "- - a"},
      {"h.eyJzdWIiOiJhIn0..", "- - a"},
      {"h.eyJzdWIiOiJhIn0", "none"},
      {".eyJzdWIiOiJhIn0.", "none"},
      // base64url, padded up to a multiple of 4: remainders of 2, 2 and 3, and 1, which no padding mends.
      {"h.eyJzdWIiOiJhYmMifQ.s", "- - abc"},
      {"h.eyJzc2lkIjoifn5-Pz4ifQ.s", "- ~~~?> -"},
      {"h.eyJzc2lkIjoicz4_fiJ9.s", "- s>?~ -"},
      {"h.e.s", "none"},
      {"h.ab$c.s", "none"},
      {"h.bm90IGpzb24.s", "none"},                    // "not json"
      {"h.WzFd.s", "none"},                           // [1]
      {"h.eyJzdWIiOjUsInNzaWQiOiJzIn0.s", "- s -"},  // a claim that is no text is absent
  };
  for (const auto& [token, want] : cases) {
    const auto claims = kimi::decodeTokenClaims(token);
    EXPECT_EQ(claims ? claims->deviceID.value_or("-") + " " + claims->sessionID.value_or("-") + " " +
                           claims->subject.value_or("-")
                     : "none",
              want)
        << token;
  }
  // Blanks and all: the token goes out as it arrives.
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200, coding(R"({"limit":"1"})"));
  KimiService(world.context).fetchUsage(" tok \n");
  const HTTPHeaders sent = world.transport.requests().at(0).headers;
  EXPECT_EQ(sent.get("Authorization"), "Bearer  tok \n");
  EXPECT_EQ(sent.get("Cookie"), "kimi-auth= tok \n");
  EXPECT_EQ(sent.list().back().name, "r-timezone");
}

TEST(KimiService, StatusesAndDecoding) {
  struct Case {
    int status;  // 0: an answer that is not HTTP
    std::string body, want;
  };
  const std::vector<Case> cases = {
      {401, "", "Invalid Kimi credential"},
      {500, "", "Kimi API error 500"},
      {0, "", "Unexpected response from Kimi"},
      {200, R"({"usages":[]})", "Failed to parse Kimi response: FEATURE_CODING scope not found"},
      {200, R"({"usages":[{"scope":"feature_coding","detail":{"limit":"1"}}]})",
       "Failed to parse Kimi response: FEATURE_CODING scope not found"},
      {200, "{}", "missing key \"usages\""},
      {200, coding(R"({"limit":100})"), "expected a string at \"usages[0].detail.limit\""},
      {200, coding(R"({"limit":null})"), "missing key \"usages[0].detail.limit\""},
      {200, coding(R"({"limit":"1"})", R"(,"limits":[{}])"), "missing key \"usages[0].limits[0].detail\""},
      {200, coding(R"({"limit":"1"})", R"(,"limits":{})"), "expected an array at \"usages[0].limits\""},
      {200, coding(R"({"limit":"1"})", R"(,"limits":null)"), "0 windows"},
      {200, coding(R"({"limit":"1"})", R"(,"limits":[])"), "0 windows"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    testing::ServiceWorld world(kNow);
    if (c.status == 0) {
      world.transport.respondNotHTTP(kURL);
    } else {
      world.transport.respond(kURL, c.status, c.body);
    }
    const auto windows = [](const UsageData& r) { return std::to_string(r.auxiliaryUsage.size()) + " windows"; };
    EXPECT_EQ(testing::outcomeOf([&] { return KimiService(world.context).fetchUsage("t"); }, windows), c.want);
  }
}

// limit, used, remaining (absent when empty): the whole-number figures, the percentage and the reset time.
TEST(KimiFigures, WholeNumbersAndTheRemainingFallback) {
  struct Case {
    std::optional<std::string> limit, used, remaining, resetTime;
    std::string want;
  };
  const std::nullopt_t no = std::nullopt;
  const std::vector<Case> cases = {
      {"100", no, "30", no, "70/100 70.00"},
      {"100", no, "150", no, "0/100 0.00"},
      {"100", "12.5", no, no, "0/100 0.00"},
      {"100", " 5", "90", no, "10/100 10.00"},
      {"+100", "-5", no, no, "-5/100 -5.00"},
      {"100", "250", no, no, "250/100 250.00"},
      {"1.0e2", "5", no, no, "5/0 0.00"},
      {"9223372036854775808", "5", no, no, "5/0 0.00"},
      // limit minus remaining saturates at the 64-bit range, then is raised to 0.
      {"9223372036854775807", no, "-1", no, "9223372036854775807/9223372036854775807 100.00"},
      {"-9223372036854775808", no, "1", no, "0/-9223372036854775808 0.00"},
      // Reset times: with or without a fraction; a bare date is none.
      {"1", no, no, "2026-01-01T00:00:00.5+01:00", "0/1 0.00 2025-12-31T23:00:00Z"},
      {"1", no, no, "2026-01-01T00:00:00Z", "0/1 0.00 2026-01-01T00:00:00Z"},
      {"1", no, no, "2026-01-01", "0/1 0.00"},
  };
  for (const auto& c : cases) {
    const kimi::UsageDetail detail{c.limit.value_or(""), c.used, c.remaining, c.resetTime};
    const kimi::Figures figures = kimi::figuresOf(detail);
    const UsageData record = kimi::makeUsageData({{"FEATURE_CODING", detail, {detail}}}, kNow);
    const std::string text = std::to_string(figures.used) + "/" + std::to_string(figures.limit) + " " +
                             formatFixed(record.used, 2) +
                             (record.resetAt ? " " + formatRFC3339Seconds(*record.resetAt) : "");
    EXPECT_EQ(text, c.want) << c.limit.value_or("");
    EXPECT_EQ(record.note, "Kimi coding usage: " + std::to_string(figures.used) + "/" +
                               std::to_string(figures.limit) + " requests this week.");
    EXPECT_EQ(record.auxiliaryUsage.at(0).used, record.used);
    EXPECT_EQ(record.auxiliaryUsage.at(0).resetAt, record.resetAt);
  }
}

}  // namespace
}  // namespace dapplewick
