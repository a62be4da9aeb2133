#include "providers/factory.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const Timestamp kNow{std::chrono::seconds(1'796'576'595)};  // 2026-12-06T17:03:15Z
const std::string kLimits = "https://api.factory.ai/api/billing/limits";
const std::string kAppAuth = "https://app.factory.ai/api/app/auth/me";
const std::string kAPIAuth = "https://api.factory.ai/api/app/auth/me";
const std::string kUsage = "https://api.factory.ai/api/organization/subscription/usage?useCache=true";
const std::string kAuthBody =
    R"({"organization":{"id":"o","name":"Org","subscription":{"factoryTier":"pro team","orbSubscription":)"
    R"({"status":"active","plan":{"name":"Pro Plan","id":"p"}}}},"userProfile":{"id":" u 1&x=y ","email":"a@b"}})";
const std::string kUsageBody =
    R"({"userId":"u","usage":{"startDate":1,"endDate":1700000000000,"standard":{"userTokens":300,)"
    R"("orgTotalTokensUsed":900,"totalAllowance":1200},"premium":{"userTokens":0}}})";

std::string describe(const UsageData& r) {
  return std::to_string(r.used) + " " + std::string(caseName(r.resetPeriod)) + " " +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + r.note.value_or("-");
}

TEST(Factory, SendsTheThreeRequestsWithTheCredentialHeadersOfItsKind) {
  const std::string fixed = " (60000 ms)\nAccept: application/json\nContent-Type: application/json\nOrigin: "
                            "https://app.factory.ai\nReferer: https://app.factory.ai/\nx-factory-client: web-app\n";
  struct Case {
    std::string credential;
    bool isAPIKey;
    std::string headers;
  };
  const Case cases[] = {
      {" fk-1 ", true, "Authorization: Bearer  fk-1 \n"},
      {"a=1; b=2", false, "Cookie: a=1; b=2\n"},
      {"s=eyJ.x.y", false, "Cookie: s=eyJ.x.y\nAuthorization: Bearer s=eyJ.x.y\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.credential);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kLimits, 200, R"({"usesTokenRateLimitsBilling":false})");
    world.transport.respond(kAppAuth, 200, kAuthBody);
    world.transport.respond(kUsage + "&userId=u%201%26x%3Dy", 200, kUsageBody);
    EXPECT_EQ(describe(FactoryService(world.context).fetchUsage(c.credential, c.isAPIKey)),
              "25.000000 monthly 2023-11-14T22:13:20Z Factory Pro Team - Pro Plan");
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
      EXPECT_EQ(testing::requestText(request), "GET " + request.url + fixed + c.headers + "\n(no body)");
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
    Answer limits;
    std::vector<Answer> auth;  // app, then API
    Answer usage;
    std::size_t requests;
    std::string want;
  };
  const std::string window = R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":)"
                             R"({"usedPercent":42.5,"secondsRemaining":3600}}}})";
  const std::string fallback = "25.000000 monthly 2023-11-14T22:13:20Z Factory Pro - Pro Plan";
  const std::string auth = R"({"organization":{"subscription":{"factoryTier":"PRO","orbSubscription":{"plan":)"
                           R"({"name":"Pro Plan"}}}},"userProfile":{"id":"   "}})";
  const Answer ok{200, kUsageBody};
  const Case cases[] = {
      {{200, window}, {}, {}, 1, "42.500000 window 2026-12-06T18:03:15Z " + std::string(factory::kBillingLimitsNote)},
      {{401, ""}, {{200, auth}}, ok, 3, fallback},
      {{0, ""}, {{200, auth}}, ok, 3, fallback},
      {{-1, ""}, {{200, auth}}, ok, 3, fallback},
      {{200, "[]"}, {{200, auth}}, ok, 3, fallback},
      {{200, R"({"usesTokenRateLimitsBilling":"yes","limits":{"standard":{"fiveHour":{"usedPercent":1}}}})"},
       {{200, auth}}, ok, 3, fallback},
      {{200, R"({"usesTokenRateLimitsBilling":true,"limits":4})"}, {{200, auth}}, ok, 3, fallback},
      {{200, R"({"usesTokenRateLimitsBilling":true,"limits":{"standard":{"fiveHour":{}}}})"}, {{200, auth}}, ok, 3,
       fallback},
      {{500, ""}, {{401, ""}}, {}, 2, "Invalid Factory/Droid credential"},
      {{500, ""}, {{500, ""}, {200, auth}}, ok, 4, fallback},
      {{500, ""}, {{0, ""}, {200, auth}}, ok, 4, fallback},
      {{500, ""}, {{200, R"({"userProfile":{"id":7}})"}, {200, auth}}, ok, 4, fallback},
      {{500, ""}, {{500, ""}, {502, ""}}, {}, 3, "Factory API error 502"},
      {{500, ""}, {{500, ""}, {403, ""}}, {}, 3, "Invalid Factory/Droid credential"},
      {{500, ""}, {{-1, ""}, {0, ""}}, {}, 3, "Unexpected response from Factory API"},
      {{500, ""}, {{500, ""}, {-1, ""}}, {}, 3, "no route"},
      {{500, ""}, {{200, auth}}, {403, ""}, 3, "Invalid Factory/Droid credential"},
      {{500, ""}, {{200, auth}}, {201, "{}"}, 3, "Factory API error 201"},
      {{500, ""}, {{200, auth}}, {0, ""}, 3, "Unexpected response from Factory API"},
      {{500, ""}, {{200, auth}}, {200, R"({"usage":{"premium":{"usedRatio":"0.5"}}})"}, 3,
       "expected a number at \"usage.premium.usedRatio\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limits.body + " " + c.want);
    testing::ServiceWorld world(kNow);
    const auto script = [&](const std::string& url, const Answer& a) {
      if (a.status == -1) return world.transport.fail(url, {TransportError::Kind::connection, "no route"});
      a.status == 0 ? world.transport.respondNotHTTP(url) : world.transport.respond(url, a.status, a.body);
    };
    script(kLimits, c.limits);
    if (!c.auth.empty()) script(kAppAuth, c.auth[0]);
    if (c.auth.size() > 1) script(kAPIAuth, c.auth[1]);
    script(kUsage, c.usage);
    const auto fetch = [&] { return FactoryService(world.context).fetchUsage("k", true); };
    EXPECT_EQ(testing::outcomeOf(fetch, describe), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.requests);
  }
}

TEST(Factory, BillingWindow) {
  const double nowSeconds = 1'796'576'595;
  struct Case {
    double usedPercent;
    std::optional<double> windowEnd, secondsRemaining;
    std::string want;  // percentage, reset
  };
  const Case cases[] = {
      {130, {}, {}, "100 -"},
      {-5, {}, {}, "0 -"},
      {50, nowSeconds - 10, 3600, "50 2026-12-06T18:03:15Z"},
      {50, {}, 0, "50 -"},
      {50, nowSeconds + 60, {}, "50 2026-12-06T17:04:15Z"},
      {50, (nowSeconds + 60) * 1000, {}, "50 2026-12-06T17:04:15Z"},
      {50, (nowSeconds - 60) * 1000, {}, "0 -"},
      {50, (nowSeconds - 60) * 1000, -1, "50 -"},
      // Read as seconds, far beyond the year 9999: no date, never an overflow, and so an ended window.
      {50, 1e12, {}, "0 -"},
      {50, 1e300, {}, "0 -"},
      {50, {}, 1e300, "50 -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    const factory::BillingWindow window{c.usedPercent, c.windowEnd, c.secondsRemaining};
    const auto reset = factory::billingWindowResetDate(window, kNow);
    EXPECT_EQ(std::to_string(static_cast<int>(factory::billingWindowPercent(window, kNow))) + " " +
                  (reset ? formatRFC3339Seconds(*reset) : "-"),
              c.want);
  }
}

TEST(Factory, OrganisationUsage) {
  struct Case {
    std::string body;
    std::string tier;  // "-" for none
    std::string want;
  };
  const auto bucket = [](const std::string& fields) {
    return R"({"usage":{"endDate":1000000000,"standard":{)" + fields + "}}}";
  };
  const std::string end = "monthly 1970-01-12T13:46:40Z";
  const Case cases[] = {
      {bucket(R"("usedRatio":0.25)"), "pro", "25.000000 monthly 1970-01-12T13:46:40Z Factory Pro - Pro Plan"},
      {bucket(R"("usedRatio":1.0005)"), "", "100.000000 monthly 1970-01-12T13:46:40Z Pro Plan"},
      {bucket(R"("usedRatio":1.5,"userTokens":300,"totalAllowance":1200)"), "-", "25.000000 " + end + " -"},
      {bucket(R"("usedRatio":-0.1,"userTokens":3000,"totalAllowance":1200)"), "-", "100.000000 " + end + " -"},
      {bucket(R"("totalAllowance":0,"userTokens":5)"), "-", "0.000000 monthly 1970-01-12T13:46:40Z -"},
      {R"({"usage":{"endDate":-1}})", "-", "0.000000 monthly - -"},
      {R"({"usage":{"endDate":253402300800000}})", "-", "0.000000 monthly - -"},
      {R"({})", "-", "0.000000 monthly - -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    factory::AuthInfo auth;
    if (c.tier != "-") auth = {std::nullopt, c.tier, "Pro Plan"};
    EXPECT_EQ(describe(factory::mapUsageInfo(factory::readUsageInfo(c.body), auth, kNow)), c.want);
  }
  EXPECT_EQ(factory::planNote({std::nullopt, std::nullopt, ""}), std::nullopt);
}

}  // namespace
}  // namespace dapplewick
