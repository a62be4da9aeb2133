#include "providers/augment.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds{1'765'000'000'000}};
const std::string kCredits = "https://app.augmentcode.com/api/credits";
const std::string kSubscription = "https://app.augmentcode.com/api/subscription";

std::string summary(const UsageData& r) {
  return formatFixed(r.used, 1) + "/" + formatFixed(r.limit, 0) + " " + (r.lastUpdated == kNow ? "now " : "") +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + (r.note ? "'" + *r.note + "'" : "-");
}

// The first rule that applies decides; only the top is capped.
TEST(AugmentService, UsedPercentage) {
  const std::vector<std::pair<augment::Credits, double>> cases = {{{{}, 250, 1000}, 25}, {{{}, 1500, 1000}, 100},
      {{70, 30, {}}, 30}, {{70, 30, 0}, 30}, {{700, {}, 1000}, 30}, {{{}, 10, {}}, 0}, {{{}, -5, 100}, -5},
      {{1200, {}, 1000}, -20}, {{-30, 30, {}}, 0}, {{{}, 1e300, 1e-300}, 0}};
  for (const auto& [credits, want] : cases) EXPECT_EQ(augment::usedPercentage(credits), want);
}

// Credits are required and decode strictly; the subscription is best effort, and any failure there is silent.
TEST(AugmentService, ReadsTheCreditsThenTheSubscription) {
  struct Case { int credits; std::string creditsBody; int subscription; std::string subscriptionBody, want; };
  const std::string credits = R"({"usageUnitsRemaining":70,"usageUnitsConsumedThisBillingCycle":30})";
  const std::string parse = "Failed to parse Augment response: Credits: expected ";
  const std::vector<Case> cases = {  // credits 0: no HTTP answer; subscription 0: never asked
      {200, R"({"usageUnitsConsumedThisBillingCycle":250,"usageUnitsAvailable":1000})", 200,
       R"({"planName":"Developer","billingPeriodEnd":"2025-03-01T00:00:00Z"})",
       "25.0/100 now 2025-03-01T00:00:00Z 'Developer'"},
      {200, credits, 200, R"({"planName":"","billingPeriodEnd":"2025-03-01T00:00:00.000Z"})", "30.0/100 now - ''"},
      {200, credits, 200, R"({"planName":null,"email":"a@b.c"})", "30.0/100 now - -"},
      {200, credits, 200, R"({"planName":"Pro","email":5})", "30.0/100 now - -"},
      {200, credits, 500, "", "30.0/100 now - -"}, {200, credits, 200, "<html>", "30.0/100 now - -"},
      {200, R"({"usageUnitsAvailable":"1000"})", 0, "", parse + "a number at \"usageUnitsAvailable\""},
      {200, R"({"usageBalanceStatus":1})", 0, "", parse + "a string at \"usageBalanceStatus\""},
      {200, "[]", 0, "", parse + "an object at the top level"},
      {401, "", 0, "", "Augment session expired \u2014 please sign in again"},
      {403, "", 0, "", "Not logged in to Augment"},
      {204, "", 0, "", "Augment HTTP error 204"}, {0, "", 0, "", "Unexpected response from Augment"},
  };
  const std::string rest = " (60000 ms)\nAccept: application/json\nCookie: _session=abc; x=1\nUser-Agent: Mozilla/5.0 "
                           "(Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.creditsBody + " then " + c.subscriptionBody);
    testing::ServiceWorld world(kNow, Provider::augment);
    c.credits ? world.transport.respond(kCredits, c.credits, c.creditsBody) : world.transport.respondNotHTTP(kCredits);
    if (c.subscription != 0) world.transport.respond(kSubscription, c.subscription, c.subscriptionBody);
    const auto fetch = [&] { return AugmentService(world.context).fetchUsage("web: _session=abc; x=1\n"); };
    EXPECT_EQ(testing::outcomeOf(fetch, summary), c.want);
    const auto sent = world.transport.requests();
    ASSERT_EQ(sent.size(), c.subscription != 0 ? 2u : 1u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(testing::requestText(sent[i]), "GET " + (i == 0 ? kCredits : kSubscription) + rest);
    }
  }
}

}  // namespace
}  // namespace dapplewick
