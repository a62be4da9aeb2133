#include "providers/kimi.hpp"

#include <gtest/gtest.h>

#include "common/numbers.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kURL = "https://www.kimi.com/apiv2/kimi.gateway.billing.v1.BillingService/GetUsages";
const Timestamp kNow{1'765'000'000s};
using testing::kNotHTTP;
// Claims {"device_id":"dev-1","ssid":"s-2","sub":"user-9"}; the token goes out as it arrives, blanks and all.
const std::string kToken = "h.eyJkZXZpY2VfaWQiOiJkZXYtMSIsInNzaWQiOiJzLTIiLCJzdWIiOiJ1c2VyLTkifQ.sig \n";

std::string coding(const std::string& more, const std::string& detail = R"({"limit":"1"})") {
  return R"({"usages":[{"scope":"FEATURE_CODING","detail":)" + detail + more + "}]}";
}

TEST(KimiService, SendsTheUsagesRequestAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow, Provider::kimi);
  world.environment.set("TZ", "Asia/Shanghai");
  world.transport.respond(
      kURL, 200,
      R"({"usages":[{"scope":"FEATURE_CHAT","detail":{"limit":"1"}},)"
      R"({"scope":"FEATURE_CODING","detail":{"limit":"2000","used":"120","resetTime":"2026-12-07T00:00:00Z"},)"
      R"("limits":[{"detail":{"limit":"50","used":"5","resetTime":"2026-12-06T20:00:00.250Z"}},)"
      R"({"detail":{"limit":"1","used":"1"}}]},{"scope":"FEATURE_CODING","detail":{"limit":"1"}}]})");
  // clang-format off
  const UsageData window{.id = Provider::kimi, .provider = Provider::kimi, .used = 10, .limit = 100,
                         .resetAt = Timestamp{1'796'587'200'250ms}, .resetPeriod = ResetPeriod::window,
                         .lastUpdated = kNow};
  EXPECT_EQ(KimiService(world.context).fetchUsage(kToken),
            (UsageData{.id = Provider::kimi, .provider = Provider::kimi, .used = 6, .limit = 100,
                       .resetAt = Timestamp{1'796'601'600s}, .resetPeriod = ResetPeriod::weekly, .lastUpdated = kNow,
                       .note = "Kimi coding usage: 120/2000 requests this week.", .auxiliaryUsage = {window}}));
  // clang-format on
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "POST " + kURL + " (60000 ms)\nContent-Type: application/json\nAuthorization: Bearer " + kToken +
                "\nCookie: kimi-auth=" + kToken +
                "\nOrigin: https://www.kimi.com\nReferer: https://www.kimi.com/"
                "code/console\nAccept: */*\nAccept-Language: en-US,en;q=0.9\nUser-Agent: Mozilla/5.0 (Macintosh; "
                "Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 Safari/537.36\n"
                "connect-protocol-version: 1\nx-language: en-US\nx-msh-platform: web\nr-timezone: Asia/Shanghai\n"
                "x-msh-device-id: dev-1\nx-msh-session-id: s-2\nx-traffic-id: user-9\n\n"
                R"({"scope":["FEATURE_CODING"]})");
}

TEST(KimiDecoding, TokenClaimsAndFigures) {
  // At most two splits, empty pieces dropped; exactly three pieces. base64url, padded up to a multiple of 4:
  // remainders of 2, 2 and 3, and 1, which no padding mends. A claim that is no text is absent.
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> tokens = {
      {"h..eyJzdWIiOiJhIn0.s.x", "- - a"}, {"h.eyJzdWIiOiJhIn0..", "- - a"}, {"h.eyJzdWIiOiJhIn0", "none"},
      {".eyJzdWIiOiJhIn0.", "none"}, {"h.eyJzdWIiOiJhYmMifQ.s", "- - abc"}, {"h.eyJzc2lkIjoifn5-Pz4ifQ.s", "- ~~~?> -"},
      {"h.eyJzc2lkIjoicz4_fiJ9.s", "- s>?~ -"}, {"h.eyJzdWIiOjUsInNzaWQiOiJzIn0.s", "- s -"},
      {"h.e.s", "none"}, {"h.ab$c.s", "none"}, {"h.bm90IGpzb24.s", "none"}, {"h.WzFd.s", "none"},  // "not json", [1]
  };
  // clang-format on
  for (const auto& [token, want] : tokens) {
    const auto c = kimi::decodeTokenClaims(token);
    EXPECT_EQ(
        c ? c->deviceID.value_or("-") + " " + c->sessionID.value_or("-") + " " + c->subject.value_or("-") : "none",
        want)
        << token;
  }
  // limit, used, remaining (absent when empty): the whole-number figures and the percentage.
  struct Case {
    std::string limit;
    std::optional<std::string> used{}, remaining{};
    std::string want;
  };
  const std::vector<Case> cases = {
      {.limit = "100", .remaining = "30", .want = "70/100 70.00"},
      {.limit = "100", .remaining = "150", .want = "0/100 0.00"},
      {.limit = "100", .used = "12.5", .want = "0/100 0.00"},
      {.limit = "+100", .used = "-5", .want = "-5/100 -5.00"},
      {.limit = "100", .used = " 5", .remaining = "90", .want = "10/100 10.00"},
      {.limit = "100", .used = "250", .want = "250/100 250.00"},
      {.limit = "1.0e2", .used = "5", .want = "5/0 0.00"},
      {.limit = "9223372036854775808", .used = "5", .want = "5/0 0.00"},
      // limit minus remaining saturates at the 64-bit range, then is raised to 0.
      {.limit = "9223372036854775807", .remaining = "-1", .want = "9223372036854775807/9223372036854775807 100.00"},
      {.limit = "-9223372036854775808", .remaining = "1", .want = "0/-9223372036854775808 0.00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit + " " + c.used.value_or("-") + " " + c.remaining.value_or("-"));
    const kimi::Figures f = kimi::figuresOf({c.limit, c.used, c.remaining, std::nullopt});
    EXPECT_EQ(std::to_string(f.used) + "/" + std::to_string(f.limit) + " " + formatFixed(f.percentage, 2), c.want);
  }
}

TEST(KimiService, StatusesAndDecoding) {
  struct Case {
    int status;
    std::string body, want;
  };
  const std::string noScope = "Failed to parse Kimi response: FEATURE_CODING scope not found";
  const std::string noWindows = "0/100 weekly 'Kimi coding usage: 0/1 requests this week.'";
  // clang-format off
  const std::vector<Case> cases = {
      {401, "", "Invalid Kimi credential"}, {500, "", "Kimi API error 500"}, {200, "{}", "missing key \"usages\""},
      {kNotHTTP, "", "Unexpected response from Kimi"}, {200, R"({"usages":[]})", noScope},
      {200, R"({"usages":[{"scope":"feature_coding","detail":{"limit":"1"}}]})", noScope},
      {200, coding("", R"({"limit":100})"), "expected a string at \"usages[0].detail.limit\""},
      {200, coding(R"(,"limits":[{}])"), "missing key \"usages[0].limits[0].detail\""},
      {200, coding(R"(,"limits":null)"), noWindows}, {200, coding(R"(,"limits":[])"), noWindows},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    testing::ServiceWorld world(kNow, Provider::kimi);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.body);
    const auto fetch = [&] { return KimiService(world.context).fetchUsage("t"); };
    EXPECT_EQ(testing::outcomeOf(fetch, [](const UsageData& r) { return testing::recordText(r); }), c.want);
    // A token that is no readable JSON Web Token goes out without the identity headers.
    EXPECT_EQ(world.transport.requests().at(0).headers.list().back().name, "r-timezone");
  }
}

}  // namespace
}  // namespace dapplewick
