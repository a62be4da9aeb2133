#include "providers/factory.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::seconds(1'796'576'595)};  // 2026-12-06T17:03:15Z
const std::string kLimits = "https://api.factory.ai/api/billing/limits";
const std::string kAppAuth = "https://app.factory.ai/api/app/auth/me";
const std::string kAPIAuth = "https://api.factory.ai/api/app/auth/me";
const std::string kUsage = "https://api.factory.ai/api/organization/subscription/usage?useCache=true";
const std::string kUsageBody =
    R"({"usage":{"endDate":1700000000000,"standard":{"userTokens":1,"orgTotalTokensUsed":3,"totalAllowance":4}}})";

using testing::kNotHTTP;
constexpr int kNoRoute = -1;  // a status that stands for no answer at all
std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

TEST(Factory, SendsTheThreeRequestsWithTheCredentialHeadersOfItsKind) {
  const std::string fixed = " (60000 ms)\nAccept: application/json\nContent-Type: application/json\nOrigin: "
                            "https://app.factory.ai\nReferer: https://app.factory.ai/\nx-factory-client: web-app\n";
  const std::string auth = R"({"organization":{"subscription":{"factoryTier":"pro team","orbSubscription":)"
                           R"({"plan":{"name":"Pro Plan"}}}},"userProfile":{"id":" u 1&x=y "}})";
  const std::tuple<std::string, bool, std::string> cases[] = {
      {" fk-1 ", true, "Authorization: Bearer  fk-1 \n"},
      {"a=1; b=2", false, "Cookie: a=1; b=2\n"},
      {"s=eyJ.x.y", false, "Cookie: s=eyJ.x.y\nAuthorization: Bearer s=eyJ.x.y\n"},
  };
  for (const auto& [credential, isAPIKey, headers] : cases) {
    testing::ServiceWorld world(kNow, Provider::factory);
    world.transport.respond(kLimits, 200, R"({"usesTokenRateLimitsBilling":false})");
    world.transport.respond(kAppAuth, 200, auth);
    world.transport.respond(kUsage + "&userId=u%201%26x%3Dy", 200, kUsageBody);
    EXPECT_EQ(show(FactoryService(world.context).fetchUsage(credential, isAPIKey)),
              "25/100 monthly @2023-11-14T22:13:20Z 'Factory Pro Team - Pro Plan'");
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
      EXPECT_EQ(testing::requestText(request), "GET " + request.url + fixed + headers + "\n(no body)") << credential;
    }
  }
}

// Billing limits never fail the fetch; auth tries the web app, then the API, and a rejected credential ends it.
TEST(Factory, BillingLimitsAreSilentAndAuthFallsBack) {
  struct Answer {
    int status;
    std::string body = "";
  };
  struct Case {  // the billing limits, the logins (the web app, then the API), the usage answer, the outcome
    Answer limits;
    std::vector<Answer> auth = {};
    Answer usage = {kNotHTTP};
    std::size_t requests;
    std::string want;
  };
  const std::string window = R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":)"
                             R"({"usedPercent":42.5,"secondsRemaining":3600}}}})";
  const std::string fallback = "25/100 monthly @2023-11-14T22:13:20Z 'Factory Pro'";
  const Answer ok{200, kUsageBody};
  const Answer auth{200, R"({"organization":{"subscription":{"factoryTier":"PRO"}},"userProfile":{"id":"   "}})"};
  // clang-format off
  const Case cases[] = {
      {.limits = {200, window}, .requests = 1,
       .want = "42.5/100 window @2026-12-06T18:03:15Z '" + std::string(factory::kBillingLimitsNote) + "'"},
      {.limits = {401}, .auth = {auth}, .usage = ok, .requests = 3, .want = fallback},
      {.limits = {kNotHTTP}, .auth = {auth}, .usage = ok, .requests = 3, .want = fallback},
      {.limits = {kNoRoute}, .auth = {auth}, .usage = ok, .requests = 3, .want = fallback},
      {.limits = {200, R"({"usesTokenRateLimitsBilling":"yes","limits":{"standard":{"fiveHour":{"usedPercent":1}}}})"},
       .auth = {auth}, .usage = ok, .requests = 3, .want = fallback},
      {.limits = {200, R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":{}}}})"}, .auth = {auth},
       .usage = ok, .requests = 3, .want = fallback},
      {.limits = {500}, .auth = {{401}}, .requests = 2, .want = "Invalid Factory/Droid credential"},
      {.limits = {500}, .auth = {{500}, auth}, .usage = ok, .requests = 4, .want = fallback},
      {.limits = {500}, .auth = {{500}, {kNoRoute}}, .requests = 3, .want = "no route"},
      {.limits = {500}, .auth = {{500}, {502}}, .requests = 3, .want = "Factory API error 502"},
      {.limits = {500}, .auth = {{kNoRoute}, {kNotHTTP}}, .requests = 3,
       .want = "Unexpected response from Factory API"},
      {.limits = {500}, .auth = {auth}, .usage = {201, "{}"}, .requests = 3, .want = "Factory API error 201"},
      {.limits = {500}, .auth = {auth}, .usage = {200, R"({"usage":{"premium":{"usedRatio":"0.5"}}})"}, .requests = 3,
       .want = "expected a number at \"usage.premium.usedRatio\""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.limits.status) + " " + c.limits.body + ": " + c.want);
    testing::ServiceWorld world(kNow, Provider::factory);
    const auto script = [&](const std::string& url, const Answer& a) {
      if (a.status == kNoRoute) return world.transport.fail(url, {TransportError::Kind::connection, "no route"});
      a.status == kNotHTTP ? world.transport.respondNotHTTP(url) : world.transport.respond(url, a.status, a.body);
    };
    script(kLimits, c.limits);
    if (!c.auth.empty()) script(kAppAuth, c.auth[0]);
    if (c.auth.size() > 1) script(kAPIAuth, c.auth[1]);
    script(kUsage, c.usage);
    EXPECT_EQ(testing::outcomeOf([&] { return FactoryService(world.context).fetchUsage("k", true); }, show), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.requests);
  }
}

TEST(Factory, BillingWindow) {
  const double now = 1'796'576'595;
  // The window's used percentage, end and seconds remaining; then the percentage and the reset.
  struct Case {
    double used;
    std::optional<double> end = {}, remaining = {};
    std::string want;
  };
  const Case cases[] = {
      {.used = 130, .want = "100 -"},
      {.used = -5, .want = "0 -"},
      {.used = 50, .remaining = 0, .want = "50 -"},
      {.used = 50, .end = now - 10, .remaining = 3600, .want = "50 2026-12-06T18:03:15Z"},
      {.used = 50, .end = now + 60, .want = "50 2026-12-06T17:04:15Z"},
      {.used = 50, .end = (now + 60) * 1000, .want = "50 2026-12-06T17:04:15Z"},
      {.used = 50, .end = (now - 60) * 1000, .want = "0 -"},
      {.used = 50, .end = (now - 60) * 1000, .remaining = -1, .want = "50 -"},
      // Read as seconds, far beyond the year 9999: no date, never an overflow, and so an ended window.
      {.used = 50, .end = 1e12, .want = "0 -"},
      {.used = 50, .remaining = 1e300, .want = "50 -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::tuple(c.used, c.end, c.remaining)));
    const factory::BillingWindow window{c.used, c.end, c.remaining};
    const int percent = static_cast<int>(factory::billingWindowPercent(window, kNow));
    const auto reset = factory::billingWindowResetDate(window, kNow);
    EXPECT_EQ(std::to_string(percent) + " " + (reset ? formatRFC3339Seconds(*reset) : "-"), c.want);
  }
}

TEST(Factory, OrganisationUsage) {
  const auto bucket = [](std::string f) { return R"({"usage":{"endDate":1000000000,"standard":{)" + f + "}}}"; };
  const std::string end = "/100 monthly @1970-01-12T13:46:40Z";
  struct Case {
    std::string body;
    std::optional<std::string> tier;
    std::string want;
  };  // no tier: no auth
  const Case cases[] = {
      {bucket(R"("usedRatio":0.25)"), "pro", "25" + end + " 'Factory Pro - Pro Plan'"},
      {bucket(R"("usedRatio":1.0005)"), "", "100" + end + " 'Pro Plan'"},
      {bucket(R"("usedRatio":1.5,"userTokens":300,"totalAllowance":1200)"), {}, "25" + end},
      {bucket(R"("usedRatio":-0.1,"userTokens":3000,"totalAllowance":1200)"), {}, "100" + end},
      {bucket(R"("usedRatio":0,"userTokens":3000,"totalAllowance":1200)"), {}, "0" + end},
      {bucket(R"("totalAllowance":0,"userTokens":5)"), {}, "0" + end},
      {R"({"usage":{"endDate":-1}})", {}, "0/100 monthly"},
      {R"({})", {}, "0/100 monthly"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    factory::AuthInfo auth;
    if (c.tier) auth = {std::nullopt, c.tier, "Pro Plan"};
    EXPECT_EQ(show(factory::mapUsageInfo(factory::readUsageInfo(c.body), auth, kNow)), c.want);
  }
  EXPECT_EQ(factory::planNote({std::nullopt, std::nullopt, ""}), std::nullopt);
}

}  // namespace
}  // namespace dapplewick
