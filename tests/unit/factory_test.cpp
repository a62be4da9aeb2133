#include "providers/factory.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
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

std::string describe(const UsageData& r) {
  return std::to_string(r.used) + " " + std::string(caseName(r.resetPeriod)) + " " +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + r.note.value_or("-");
}

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
    EXPECT_EQ(describe(FactoryService(world.context).fetchUsage(credential, isAPIKey)),
              "25.000000 monthly 2023-11-14T22:13:20Z Factory Pro Team - Pro Plan");
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
    int status;  // 0: not HTTP, -1: a transport failure
    std::string body;
  };
  struct Case {
    Answer limits, usage;
    std::vector<Answer> auth;  // app, then API
    std::size_t requests;
    std::string want;
  };
  const std::string window = R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":)"
                             R"({"usedPercent":42.5,"secondsRemaining":3600}}}})";
  const std::string fallback = "25.000000 monthly 2023-11-14T22:13:20Z Factory Pro";
  const Answer ok{200, kUsageBody};
  const Answer auth{200, R"({"organization":{"subscription":{"factoryTier":"PRO"}},"userProfile":{"id":"   "}})"};
  const Case cases[] = {  // limits, usage, auth, requests sent, outcome
      {{200, window}, {}, {}, 1, "42.500000 window 2026-12-06T18:03:15Z " + std::string(factory::kBillingLimitsNote)},
      {{401, ""}, ok, {auth}, 3, fallback}, {{0, ""}, ok, {auth}, 3, fallback}, {{-1, ""}, ok, {auth}, 3, fallback},
      {{200, R"({"usesTokenRateLimitsBilling":"yes","limits":{"standard":{"fiveHour":{"usedPercent":1}}}})"}, ok,
       {auth}, 3, fallback},
      {{200, R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":{}}}})"}, ok, {auth}, 3, fallback},
      {{500, ""}, {}, {{401, ""}}, 2, "Invalid Factory/Droid credential"},
      {{500, ""}, ok, {{500, ""}, auth}, 4, fallback}, {{500, ""}, {}, {{500, ""}, {-1, ""}}, 3, "no route"},
      {{500, ""}, {}, {{500, ""}, {502, ""}}, 3, "Factory API error 502"},
      {{500, ""}, {}, {{-1, ""}, {0, ""}}, 3, "Unexpected response from Factory API"},
      {{500, ""}, {201, "{}"}, {auth}, 3, "Factory API error 201"},
      {{500, ""}, {200, R"({"usage":{"premium":{"usedRatio":"0.5"}}})"}, {auth}, 3,
       "expected a number at \"usage.premium.usedRatio\""},
  };
  for (const auto& [limits, usage, logins, sent, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::factory);
    const auto script = [&](const std::string& url, const Answer& a) {
      if (a.status == -1) return world.transport.fail(url, {TransportError::Kind::connection, "no route"});
      a.status == 0 ? world.transport.respondNotHTTP(url) : world.transport.respond(url, a.status, a.body);
    };
    script(kLimits, limits);
    if (!logins.empty()) script(kAppAuth, logins[0]);
    if (logins.size() > 1) script(kAPIAuth, logins[1]);
    script(kUsage, usage);
    EXPECT_EQ(testing::outcomeOf([&] { return FactoryService(world.context).fetchUsage("k", true); }, describe), want);
    EXPECT_EQ(world.transport.requestCount(), sent) << want;
  }
}

TEST(Factory, BillingWindow) {
  const double now = 1'796'576'595;
  const std::tuple<double, std::optional<double>, std::optional<double>, std::string> cases[] = {
      // usedPercent, windowEnd, secondsRemaining; then the percentage and the reset.
      {130, {}, {}, "100 -"}, {-5, {}, {}, "0 -"}, {50, now - 10, 3600, "50 2026-12-06T18:03:15Z"}, {50, {}, 0, "50 -"},
      {50, now + 60, {}, "50 2026-12-06T17:04:15Z"}, {50, (now + 60) * 1000, {}, "50 2026-12-06T17:04:15Z"},
      {50, (now - 60) * 1000, {}, "0 -"}, {50, (now - 60) * 1000, -1, "50 -"},
      // Read as seconds, far beyond the year 9999: no date, never an overflow, and so an ended window.
      {50, 1e12, {}, "0 -"}, {50, {}, 1e300, "50 -"},
  };
  for (const auto& [usedPercent, windowEnd, secondsRemaining, want] : cases) {
    const factory::BillingWindow window{usedPercent, windowEnd, secondsRemaining};
    const int percent = static_cast<int>(factory::billingWindowPercent(window, kNow));
    const auto reset = factory::billingWindowResetDate(window, kNow);
    EXPECT_EQ(std::to_string(percent) + " " + (reset ? formatRFC3339Seconds(*reset) : "-"), want);
  }
}

TEST(Factory, OrganisationUsage) {
  const auto bucket = [](std::string f) { return R"({"usage":{"endDate":1000000000,"standard":{)" + f + "}}}"; };
  const std::string end = "monthly 1970-01-12T13:46:40Z";
  const std::tuple<std::string, std::string, std::string> cases[] = {  // body, tier ("-": no auth), record
      {bucket(R"("usedRatio":0.25)"), "pro", "25.000000 " + end + " Factory Pro - Pro Plan"},
      {bucket(R"("usedRatio":1.0005)"), "", "100.000000 " + end + " Pro Plan"},
      {bucket(R"("usedRatio":1.5,"userTokens":300,"totalAllowance":1200)"), "-", "25.000000 " + end + " -"},
      {bucket(R"("usedRatio":-0.1,"userTokens":3000,"totalAllowance":1200)"), "-", "100.000000 " + end + " -"},
      {bucket(R"("usedRatio":0,"userTokens":3000,"totalAllowance":1200)"), "-", "0.000000 " + end + " -"},
      {bucket(R"("totalAllowance":0,"userTokens":5)"), "-", "0.000000 " + end + " -"},
      {R"({"usage":{"endDate":-1}})", "-", "0.000000 monthly - -"}, {R"({})", "-", "0.000000 monthly - -"},
  };
  for (const auto& [body, tier, want] : cases) {
    factory::AuthInfo auth;
    if (tier != "-") auth = {std::nullopt, tier, "Pro Plan"};
    EXPECT_EQ(describe(factory::mapUsageInfo(factory::readUsageInfo(body), auth, kNow)), want) << body;
  }
  EXPECT_EQ(factory::planNote({std::nullopt, std::nullopt, ""}), std::nullopt);
}

}  // namespace
}  // namespace dapplewick
