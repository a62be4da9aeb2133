#include "providers/codebuff.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;
using testing::errorText;

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

TEST(CodebuffService, SendsBothRequestsExactlyAndNeedsAToken) {
  testing::ServiceWorld world(kNow);
  CodebuffService service(world.context);
  EXPECT_EQ(errorText([&] { service.fetchUsage("web: \r\n\u3000"); }), "Invalid Codebuff API token");
  EXPECT_EQ(world.transport.requestCount(), 0u);
  world.transport.respond(kUsageURL, 200, R"({"usage":1,"quota":2})");
  world.transport.respond(kSubscriptionURL, 200, "{}");
  service.fetchUsage("api:   tok-9 \n");

  const HTTPRequest usage = world.transport.requestsTo(kUsageURL).at(0);
  EXPECT_EQ(usage.method, "POST");
  EXPECT_EQ(usage.headers, (HTTPHeaders{{"Authorization", "Bearer tok-9"}, {"Content-Type", "application/json"},
                                        {"Accept", "application/json"}, {"User-Agent", kBrowser}}));
  EXPECT_EQ(usage.body, R"({"fingerprintId":"dapple-wick"})");
  const HTTPRequest subscription = world.transport.requestsTo(kSubscriptionURL).at(0);
  EXPECT_EQ(subscription.method, "GET");
  EXPECT_EQ(subscription.headers,
            (HTTPHeaders{{"Authorization", "Bearer tok-9"}, {"Accept", "application/json"}, {"User-Agent", kBrowser}}));
  EXPECT_FALSE(subscription.body.has_value());
}

// The usage answer decides alone: its failure is the fetch's, the subscription's is dropped.
TEST(CodebuffService, UsageFailsTheFetchSubscriptionFailureIsSwallowed) {
  const std::string usage = R"({"usage":20,"quota":100})";
  const std::vector<std::tuple<int, std::string, int, std::string>> cases = {
      {401, "", 200, "Invalid Codebuff API token"},
      {500, "oops", 200, "Codebuff API error 500"},
      // Reading a sign-in page as 0 of 0 would hide the failure.
      {200, "<!DOCTYPE html><html>Sign in</html>", 200, "Unexpected response from Codebuff"},
      {200, usage, 500, "no error"},
  };
  for (const auto& [usageStatus, usageBody, subscriptionStatus, want] : cases) {
    SCOPED_TRACE(usageBody + std::to_string(subscriptionStatus));
    testing::ServiceWorld world(kNow);
    world.transport.respond(kUsageURL, usageStatus, usageBody);
    world.transport.respond(kSubscriptionURL, subscriptionStatus, R"({"subscription":{"tier":"pro"}})");
    UsageData data;
    EXPECT_EQ(errorText([&] { data = CodebuffService(world.context).fetchUsage("tok"); }), want);
    if (want == "no error") {
      EXPECT_EQ(data, record(20, 100, std::nullopt, ResetPeriod::monthly));
    }
  }
}

TEST(CodebuffService, UsageFailureCancelsAndJoinsTheSubscriptionRequest) {
  testing::ServiceWorld world(kNow);
  std::atomic<int> cancelled{0};
  world.transport.handle(kSubscriptionURL, testing::blockUntilCancelled(&cancelled));
  world.transport.handle(kUsageURL, [&](const HTTPRequest&, std::stop_token) {
    // Fail only once the subscription request is in flight, so there is something to cancel.
    for (int i = 0; i < 5000 && world.transport.requestCount() < 2; ++i) std::this_thread::sleep_for(milliseconds(1));
    HTTPResponse response;
    response.status = 502;
    return response;
  });
  EXPECT_EQ(errorText([&] { CodebuffService(world.context).fetchUsage("tok"); }), "Codebuff API error 502");
  // Counted as the subscription request ends: 1 here only if the fetch stopped it and waited for it.
  EXPECT_EQ(cancelled.load(), 1);
}

TEST(CodebuffService, CancellingTheFetchCancelsBothRequests) {
  testing::ServiceWorld world(kNow);
  std::atomic<int> cancelled{0};
  world.transport.handle(kUsageURL, testing::blockUntilCancelled(&cancelled));
  world.transport.handle(kSubscriptionURL, testing::blockUntilCancelled(&cancelled));
  {
    testing::DelayedStop stop(milliseconds(20));
    EXPECT_EQ(errorText([&] { CodebuffService(world.context).fetchUsage("tok", stop.token()); }), "cancelled");
  }
  EXPECT_EQ(cancelled.load(), 2);
}

TEST(CodebuffService, FullRecordWithTierFallbackResetAndWeeklyWindow) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kUsageURL, 200, R"({"used":"150","limit":1000,"remaining":850})");
  world.transport.respond(kSubscriptionURL, 200,
                          R"({"subscription":{"displayName":"Pro","status":"active","currentPeriodEnd":1769904000},)"
                          R"("rateLimit":{"used":300,"limit":2000,"weeklyResetsAt":"2026-01-05T00:00:00.000Z"}})");
  UsageData want = record(150, 1000, at(1769904000000), ResetPeriod::monthly);
  want.note = "Tier: Pro";
  want.auxiliaryUsage = {record(300, 2000, at(1767571200000), ResetPeriod::weekly)};
  EXPECT_EQ(CodebuffService(world.context).fetchUsage("tok"), want);
}

TEST(CodebuffReadUsage, FieldsFallbackKeysAndResetDates) {
  const std::vector<std::pair<std::string, codebuff::UsagePayload>> cases = {
      {R"({"usage":"12.5","quota":100})", {12.5, 100, none, {}}},
      {R"({"usage":"abc","used":" 4 \n","quota":"x","limit":50})", {4, 50, none, {}}},
      {R"({"remainingBalance":[],"remaining":7})", {none, none, 7, {}}},
      {R"({"remainingBalance":30,"remaining":7})", {none, none, 30, {}}},
      {R"({"usage":true,"quota":false})", {1, 0, none, {}}},
      // The strict decimal grammar: no hex, no words, nothing infinite.
      {R"({"usage":"0x10","quota":"1e999","remaining":"nan"})", {}},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(codebuff::readUsagePayload(body), want) << body;

  // Epoch figures above 10^10 are milliseconds; none outside the years 1970–9999 makes a date.
  const auto jan1 = at(1767225600000);
  const std::vector<std::pair<std::string, std::optional<Timestamp>>> dates = {
      {"1767225600000", jan1}, {R"(" 1767225600 ")", jan1}, {R"("2026-01-01T01:00:00+01:00")", jan1}, {"1e300", {}}};
  for (const auto& [value, want] : dates) {
    EXPECT_EQ(codebuff::readUsagePayload(R"({"next_quota_reset":)" + value + "}").nextQuotaReset, want) << value;
  }
  for (const char* body : {"", "<html></html>", "\"text\"", "[]", "{\"a\":1}}"}) {
    EXPECT_EQ(errorText([&] { codebuff::readUsagePayload(body); }), "Unexpected response from Codebuff") << body;
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
  struct Case {
    std::optional<double> used, total, remaining;
    double wantUsed, wantLimit;
  };
  const std::vector<Case> cases = {
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
  for (const auto& c : cases) {
    const UsageData data = codebuff::makeUsageData({c.used, c.total, c.remaining, {}}, std::nullopt, kNow);
    EXPECT_EQ(data.used, c.wantUsed) << c.used.value_or(-1) << " " << c.total.value_or(-1);
    EXPECT_EQ(data.limit, c.wantLimit) << c.used.value_or(-1) << " " << c.total.value_or(-1);
  }
}

TEST(CodebuffMakeUsageData, SubscriptionAdditions) {
  const auto usageReset = at(1767225600000);
  codebuff::SubscriptionPayload billing;
  billing.billingPeriodEnd = at(1769904000000);
  EXPECT_EQ(codebuff::makeUsageData({1, 10, none, usageReset}, billing, kNow).resetAt, usageReset);

  struct Case {
    std::optional<double> used, limit, wantUsed;  // wantUsed none: no weekly window
  };
  const std::vector<Case> cases = {{5, 0, none}, {5, none, none}, {none, 1000, 0}, {-3, 1000, 0}, {1500, 1000, 1500}};
  for (const auto& c : cases) {
    codebuff::SubscriptionPayload subscription;
    subscription.weeklyUsed = c.used;
    subscription.weeklyLimit = c.limit;
    subscription.weeklyResetsAt = usageReset;
    const UsageData data = codebuff::makeUsageData({1, 10, none, {}}, subscription, kNow);
    ASSERT_EQ(data.auxiliaryUsage.size(), c.wantUsed ? 1u : 0u) << c.limit.value_or(-1);
    if (c.wantUsed) {
      EXPECT_EQ(data.auxiliaryUsage[0], record(*c.wantUsed, *c.limit, usageReset, ResetPeriod::weekly));
    }
  }
}

}  // namespace
}  // namespace dapplewick
