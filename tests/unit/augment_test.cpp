#include "providers/augment.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds{1'765'000'000'000}};
const std::string kCredits = "https://app.augmentcode.com/api/credits";
const std::string kSubscription = "https://app.augmentcode.com/api/subscription";
using testing::kNotHTTP;

std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

// The first rule that applies decides; only the top is capped.
TEST(AugmentService, UsedPercentage) {
  const std::vector<std::pair<augment::Credits, double>> cases = {
      {{{}, 250, 1000}, 25}, {{{}, 1500, 1000}, 100}, {{70, 30, {}}, 30},  {{70, 30, 0}, 30},
      {{700, {}, 1000}, 30}, {{{}, 10, {}}, 0},       {{{}, -5, 100}, -5}, {{1200, {}, 1000}, -20},
      {{-30, 30, {}}, 0},    {{{}, 1e300, 1e-300}, 0}};
  for (const auto& [credits, want] : cases) EXPECT_EQ(augment::usedPercentage(credits), want);
}

// Credits are required and decode strictly; the subscription is best effort, and any failure there is silent.
TEST(AugmentService, ReadsTheCreditsThenTheSubscription) {
  struct Case {  // the credits answer, the subscription's (no status: never asked), the outcome
    int creditsStatus = 200;
    std::string credits = "";
    std::optional<int> subscriptionStatus = {};
    std::string subscription = "", want;
  };
  const std::string credits = R"({"usageUnitsRemaining":70,"usageUnitsConsumedThisBillingCycle":30})";
  const std::string parse = "Failed to parse Augment response: Credits: expected ";
  const std::string webPage =
      "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)";
  // clang-format off
  const std::vector<Case> cases = {
      {.credits = R"({"usageUnitsConsumedThisBillingCycle":250,"usageUnitsAvailable":1000})", .subscriptionStatus = 200,
       .subscription = R"({"planName":"Developer","billingPeriodEnd":"2025-03-01T00:00:00Z"})",
       .want = "25/100 monthly @2025-03-01T00:00:00Z 'Developer'"},
      {.credits = credits, .subscriptionStatus = 200,
       .subscription = R"({"planName":"","billingPeriodEnd":"2025-03-01T00:00:00.000Z"})", .want = "30/100 monthly ''"},
      {.credits = credits, .subscriptionStatus = 200, .subscription = R"({"planName":null,"email":"a@b.c"})",
       .want = "30/100 monthly"},
      {.credits = credits, .subscriptionStatus = 200, .subscription = R"({"planName":"Pro","email":5})",
       .want = "30/100 monthly"},
      {.credits = credits, .subscriptionStatus = 500, .want = "30/100 monthly"},
      {.credits = credits, .subscriptionStatus = 200, .subscription = "<html>", .want = "30/100 monthly"},
      {.credits = R"({"usageUnitsAvailable":"1000"})", .want = parse + "a number at \"usageUnitsAvailable\""},
      {.credits = R"({"usageBalanceStatus":1})", .want = parse + "a string at \"usageBalanceStatus\""},
      {.credits = "[]", .want = parse + "an object at the top level"},
      {.credits = "\n<html>", .want = "Failed to parse Augment response: Credits: " + webPage},
      {.creditsStatus = 401, .want = "Augment session expired \u2014 please sign in again"},
      {.creditsStatus = 403, .want = "Not logged in to Augment"},
      {.creditsStatus = 204, .want = "Augment HTTP error 204"},
      {.creditsStatus = kNotHTTP, .want = "Unexpected response from Augment"},
  };
  // clang-format on
  const std::string rest = " (60000 ms)\nAccept: application/json\nCookie: _session=abc; x=1\nUser-Agent: Mozilla/5.0 "
                           "(Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.creditsStatus) + " " + c.credits + " then " + c.subscription);
    testing::ServiceWorld world(kNow, Provider::augment);
    c.creditsStatus == kNotHTTP ? world.transport.respondNotHTTP(kCredits)
                                : world.transport.respond(kCredits, c.creditsStatus, c.credits);
    if (c.subscriptionStatus) world.transport.respond(kSubscription, *c.subscriptionStatus, c.subscription);
    const auto fetch = [&] { return AugmentService(world.context).fetchUsage("web: _session=abc; x=1\n"); };
    EXPECT_EQ(testing::outcomeOf(fetch, show), c.want);
    const auto sent = world.transport.requests();
    ASSERT_EQ(sent.size(), c.subscriptionStatus ? 2u : 1u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(testing::requestText(sent[i]), "GET " + (i == 0 ? kCredits : kSubscription) + rest);
    }
  }
}

}  // namespace
}  // namespace dapplewick
