#include "providers/augment.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  return formatFixed(r.used, 1) + " " + (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " +
         (r.note ? "'" + *r.note + "'" : "-");
}

TEST(AugmentService, ReadsTheCreditsThenTheSubscription) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kCredits, 200, R"({"usageUnitsConsumedThisBillingCycle":250,"usageUnitsAvailable":1000})");
  world.transport.respond(kSubscription, 200, R"({"planName":"Developer","billingPeriodEnd":"2025-03-01T00:00:00Z"})");
  const UsageData record = AugmentService(world.context).fetchUsage("web: _session=abc; x=1\n");
  EXPECT_EQ(summary(record), "25.0 2025-03-01T00:00:00Z 'Developer'");
  EXPECT_EQ(record.limit, 100);
  EXPECT_EQ(record.lastUpdated, kNow);
  const std::string rest =
      " (60000 ms)\nAccept: application/json\nCookie: _session=abc; x=1\nUser-Agent: Mozilla/5.0 (Macintosh; Intel "
      "Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)";
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(testing::requestText(requests[0]), "GET " + kCredits + rest);
  EXPECT_EQ(testing::requestText(requests[1]), "GET " + kSubscription + rest);
}

// The first rule that applies decides; only the top is capped.
TEST(AugmentService, UsedPercentage) {
  const std::vector<std::pair<augment::Credits, double>> cases = {
      {{std::nullopt, 250, 1000}, 25},
      {{std::nullopt, 1500, 1000}, 100},
      {{70, 30, std::nullopt}, 30},
      {{70, 30, 0}, 30},
      {{700, std::nullopt, 1000}, 30},
      {{std::nullopt, 10, std::nullopt}, 0},
      {{}, 0},
      {{std::nullopt, -5, 100}, -5},
      {{1200, std::nullopt, 1000}, -20},
      {{-30, 30, std::nullopt}, 0},
      {{std::nullopt, 1e300, 1e-300}, 0},
  };
  for (const auto& [credits, want] : cases) EXPECT_EQ(augment::usedPercentage(credits), want);
}

// Credits are required and decode strictly; the subscription is best effort, and any failure there is silent.
TEST(AugmentService, AnswersAndFailures) {
  struct Case {  // subscription 0: never asked
    int credits;
    std::string creditsBody;
    int subscription;
    std::string subscriptionBody, want;
  };
  const std::string credits = R"({"usageUnitsRemaining":70,"usageUnitsConsumedThisBillingCycle":30})";
  const std::vector<Case> cases = {
      {200, credits, 200, R"({"planName":"","billingPeriodEnd":"2025-03-01T00:00:00.000Z"})", "30.0 - ''"},
      {200, credits, 200, R"({"planName":null,"email":"a@b.c"})", "30.0 - -"},
      {200, credits, 200, R"({"planName":"Pro","email":5})", "30.0 - -"},
      {200, credits, 500, "", "30.0 - -"}, {200, credits, 200, "<html>", "30.0 - -"},
      {200, R"({"usageUnitsAvailable":"1000"})", 0, "",
       "Failed to parse Augment response: Credits: expected a number at \"usageUnitsAvailable\""},
      {200, R"({"usageBalanceStatus":1})", 0, "",
       "Failed to parse Augment response: Credits: expected a string at \"usageBalanceStatus\""},
      {200, "[]", 0, "", "Failed to parse Augment response: Credits: expected an object at the top level"},
      {401, "", 0, "", "Augment session expired \u2014 please sign in again"},
      {403, "", 0, "", "Not logged in to Augment"}, {204, "", 0, "", "Augment HTTP error 204"},
      {0, "", 0, "", "Unexpected response from Augment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.creditsBody + " then " + c.subscriptionBody);
    testing::ServiceWorld world(kNow);
    c.credits == 0 ? world.transport.respondNotHTTP(kCredits)
                   : world.transport.respond(kCredits, c.credits, c.creditsBody);
    if (c.subscription != 0) world.transport.respond(kSubscription, c.subscription, c.subscriptionBody);
    EXPECT_EQ(testing::outcomeOf([&] { return AugmentService(world.context).fetchUsage("s=1"); }, summary), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.subscription != 0 ? 2u : 1u);
  }
}

}  // namespace
}  // namespace dapplewick
