#include "providers/codebuff.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;

const std::string kUsageURL = "https://www.codebuff.com/api/v1/usage";
const std::string kSubscriptionURL = "https://www.codebuff.com/api/user/subscription";
const std::string kBrowser = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";
const Timestamp kNow{milliseconds{1'760'000'000'000}};
const std::optional<double> none;

Timestamp at(long long ms) { return Timestamp{milliseconds{ms}}; }

UsageData record(double used, double limit, std::optional<Timestamp> resetAt, ResetPeriod period) {
  UsageData data = UsageData::blank(Provider::codebuff);
  data.used = used;
  data.limit = limit;
  data.resetAt = resetAt;
  data.resetPeriod = period;
  data.lastUpdated = kNow;
  return data;
}

TEST(CodebuffService, SendsBothRequestsExactlyAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kUsageURL, 200, R"({"used":"150","limit":1000,"remaining":850})");
  world.transport.respond(kSubscriptionURL, 200,
                          R"({"subscription":{"displayName":"Pro","status":"active","currentPeriodEnd":1769904000},)"
                          R"("rateLimit":{"used":300,"limit":2000,"weeklyResetsAt":"2026-01-05T00:00:00.000Z"}})");
  UsageData want = record(150, 1000, at(1769904000000), ResetPeriod::monthly);
  want.note = "Tier: Pro";
  want.auxiliaryUsage = {record(300, 2000, at(1767571200000), ResetPeriod::weekly)};
  EXPECT_EQ(CodebuffService(world.context).fetchUsage("api:   tok-9 \n"), want);

  const std::string agent = "User-Agent: " + kBrowser + "\n\n";
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kUsageURL).at(0)),
            "POST " + kUsageURL + " (60000 ms)\nAuthorization: Bearer tok-9\nContent-Type: application/json\n" +
                "Accept: application/json\n" + agent + R"({"fingerprintId":"dapple-wick"})");
  EXPECT_EQ(testing::requestText(world.transport.requestsTo(kSubscriptionURL).at(0)),
            "GET " + kSubscriptionURL + " (60000 ms)\nAuthorization: Bearer tok-9\nAccept: application/json\n" +
                agent + "(no body)");
}

// The usage answer is required: its failure is the fetch's. The subscription's failure only drops the tier.
TEST(CodebuffService, UsageIsRequiredSubscriptionIsNot) {
  const std::string usage = R"({"usage":20,"quota":100})";
  const std::vector<std::tuple<int, std::string, int, std::string>> cases = {
      {200, usage, 200, "Tier: pro"},
      {200, usage, 500, "no tier"},
      {401, "", 200, "Invalid Codebuff API token"},
      {500, "oops", 200, "Codebuff API error 500"},
      // Reading a sign-in page as 0 of 0 would hide the failure.
      {200, "<!DOCTYPE html><html>Sign in</html>", 200, "Unexpected response from Codebuff"},
  };
  for (const auto& [usageStatus, usageBody, subscriptionStatus, want] : cases) {
    SCOPED_TRACE(usageBody + std::to_string(subscriptionStatus));
    testing::ServiceWorld world(kNow);
    world.transport.respond(kUsageURL, usageStatus, usageBody);
    world.transport.respond(kSubscriptionURL, subscriptionStatus, R"({"subscription":{"tier":"pro"}})");
    EXPECT_EQ(testing::outcomeOf([&] { return CodebuffService(world.context).fetchUsage("tok"); },
                                 [](const UsageData& data) { return data.note.value_or("no tier"); }),
              want);
  }
}

TEST(CodebuffReadUsage, FieldsFallbackKeysAndResetDates) {
  const std::vector<std::pair<std::string, codebuff::UsagePayload>> cases = {
      {R"({"usage":"12.5","quota":100})", {12.5, 100, none, {}}},
      {R"({"usage":"abc","used":" 4 \n","quota":"x","limit":50})", {4, 50, none, {}}},
      {R"({"remainingBalance":[],"remaining":7})", {none, none, 7, {}}},
      {R"({"remainingBalance":30,"remaining":7})", {none, none, 30, {}}},
      // Epoch figures above 10^10 are milliseconds, others seconds.
      {R"({"next_quota_reset":1767225600000})", {none, none, none, at(1767225600000)}},
      {R"({"next_quota_reset":" 1767225600 "})", {none, none, none, at(1767225600000)}},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(codebuff::readUsagePayload(body), want) << body;
  for (const char* body : {"", "<html></html>", "\"text\"", "[]", "{\"a\":1}}"}) {
    EXPECT_EQ(testing::errorText([&] { codebuff::readUsagePayload(body); }), "Unexpected response from Codebuff")
        << body;
  }
}

TEST(CodebuffReadSubscription, Sources) {
  using Payload = codebuff::SubscriptionPayload;
  const auto end = at(1769904000000);
  const std::vector<std::pair<std::string, std::function<void(Payload&)>>> cases = {
      {R"({"subscription":{"displayName":"  ","tier":"pro"}})", [](Payload& p) { p.tier = "pro"; }},
      {R"({"subscription":{"displayName":" Team "},"displayName":"Top"})", [](Payload& p) { p.tier = "Team"; }},
      {R"({"subscription":{"tier":3,"status":1},"tier":"free"})", [](Payload& p) { p.tier = "free"; }},
      {R"({"subscription":"pro","displayName":"Top"})", [](Payload& p) { p.tier = "Top"; }},
      {R"({"subscription":{"tier":"pro"},"displayName":"Top"})", [](Payload& p) { p.tier = "Top"; }},
      {R"({"subscription":{"status":" active "},"email":5,"user":{"email":"d@e.f"}})",
       [](Payload& p) { p.status = " active "; p.email = "d@e.f"; }},
      {R"({"email":"a@b.c","user":{"email":"d@e.f"}})", [](Payload& p) { p.email = "a@b.c"; }},
      {R"({"subscription":{"billingPeriodEnd":"x","currentPeriodEnd":1769904000}})",
       [&](Payload& p) { p.billingPeriodEnd = end; }},
      {R"({"billingPeriodEnd":1769904000,"weeklyLimit":5,"rateLimit":[1]})", [](Payload&) {}},
      {R"({"rateLimit":{"weeklyUsed":"5","used":7,"weeklyLimit":null,"limit":"100","weeklyResetsAt":1769904000}})",
       [&](Payload& p) { p.weeklyUsed = 5; p.weeklyLimit = 100; p.weeklyResetsAt = end; }},
      {"not json", [](Payload&) {}},
  };
  for (const auto& [body, fill] : cases) {
    Payload want;
    fill(want);
    EXPECT_EQ(codebuff::readSubscriptionPayload(body), want) << body;
  }
}

TEST(CodebuffMakeUsageData, MainWindow) {
  constexpr double kHuge = std::numeric_limits<double>::max();
  // usage figures used, total, remaining: the used and limit shown
  const std::vector<std::tuple<std::optional<double>, std::optional<double>, std::optional<double>, double, double>>
      cases = {
      // A positive quota is the limit; used, else quota less remaining, never below 0.
      {12.5, 100, none, 12.5, 100}, {150, 100, none, 150, 100}, {-5, 100, none, 0, 100}, {10, 100, 40, 10, 100},
      {none, 100, 40, 60, 100},     {none, 100, 140, 0, 100},   {none, 100, none, 0, 100},
      // Otherwise a positive balance plus consumption.
      {10, none, 40, 10, 50}, {5, 0, 0, 5, 5}, {-5, none, 10, 0, 5},
      // Otherwise the balance alone.
      {0, 0, 0, 0, 0}, {none, none, 30, 0, 30}, {none, none, -3, 0, 0}, {7, none, none, 0, 0},
      // Figures at the edge of the double range never yield an infinite used or limit.
      {none, kHuge, -kHuge, 0, kHuge}, {kHuge, none, kHuge, 0, kHuge},
  };
  for (const auto& [used, total, remaining, wantUsed, wantLimit] : cases) {
    const UsageData data = codebuff::makeUsageData({used, total, remaining, {}}, std::nullopt, kNow);
    EXPECT_EQ(std::pair(data.used, data.limit), std::pair(wantUsed, wantLimit))
        << used.value_or(-1) << " " << total.value_or(-1) << " " << remaining.value_or(-1);
  }
}

TEST(CodebuffMakeUsageData, SubscriptionAdditions) {
  const auto usageReset = at(1767225600000);
  codebuff::SubscriptionPayload billing;
  billing.billingPeriodEnd = at(1769904000000);
  EXPECT_EQ(codebuff::makeUsageData({1, 10, none, usageReset}, billing, kNow).resetAt, usageReset);

  // weekly used, weekly limit: the weekly window's used figure, or none without a window
  const std::vector<std::tuple<std::optional<double>, std::optional<double>, std::optional<double>>> cases = {
      {5, 0, none}, {5, none, none}, {none, 1000, 0}, {-3, 1000, 0}, {1500, 1000, 1500}};
  for (const auto& [used, limit, wantUsed] : cases) {
    codebuff::SubscriptionPayload subscription;
    subscription.weeklyUsed = used;
    subscription.weeklyLimit = limit;
    subscription.weeklyResetsAt = usageReset;
    std::vector<UsageData> want;
    if (wantUsed) want.push_back(record(*wantUsed, *limit, usageReset, ResetPeriod::weekly));
    EXPECT_EQ(codebuff::makeUsageData({1, 10, none, {}}, subscription, kNow).auxiliaryUsage, want);
  }
}

}  // namespace
}  // namespace dapplewick
