#include "providers/codebuff.hpp"

#include <gtest/gtest.h>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using D = std::optional<double>;
using Payload = codebuff::SubscriptionPayload;
const std::string kUsageURL = "https://www.codebuff.com/api/v1/usage";
const std::string kSubscriptionURL = "https://www.codebuff.com/api/user/subscription";
Timestamp at(long long ms) { return Timestamp{std::chrono::milliseconds{ms}}; }
const Timestamp kNow = at(1'760'000'000'000);
const D none;
const Timestamp kReset = at(1'000'000'000'000);

UsageData record(double used, double limit, std::optional<Timestamp> resetAt, ResetPeriod period) {
  UsageData d = UsageData::blank(Provider::codebuff);
  std::tie(d.used, d.limit, d.resetAt, d.resetPeriod, d.lastUpdated) = std::tuple(used, limit, resetAt, period, kNow);
  return d;
}

// The usage answer is required: its failure is the fetch's. The subscription's failure only drops the tier.
TEST(CodebuffService, RequestsAnswersAndTheRecord) {
  testing::ServiceWorld world(kNow, Provider::codebuff);
  world.transport.respond(kUsageURL, 200, R"({"used":"150","limit":1000,"remaining":850})");
  world.transport.respond(kSubscriptionURL, 200,
                          R"({"subscription":{"displayName":"Pro","currentPeriodEnd":1769904000)"
                          R"(},"rateLimit":{"used":300,"limit":2000,"weeklyResetsAt":"2026-01-05T00:00:00.000Z"}})");
  UsageData want = record(150, 1000, at(1769904000000), ResetPeriod::monthly);
  want.note = "Tier: Pro";
  want.auxiliaryUsage = {record(300, 2000, at(1767571200000), ResetPeriod::weekly)};
  EXPECT_EQ(CodebuffService(world.context).fetchUsage("api:   tok-9 \n"), want);
  const auto sent = [&](const std::string& url) { return testing::requestText(world.transport.requestsTo(url).at(0)); };
  const std::string head = " (60000 ms)\nAuthorization: Bearer tok-9\n", accept = "Accept: application/json\n",
                    agent = "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n";
  EXPECT_EQ(sent(kUsageURL), "POST " + kUsageURL + head + "Content-Type: application/json\n" + accept + agent +
                                 R"({"fingerprintId":"dapple-wick"})");
  EXPECT_EQ(sent(kSubscriptionURL), "GET " + kSubscriptionURL + head + accept + agent + "(no body)");
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      // usage status and body, subscription 500
      {200, R"({"usage":20,"quota":100})", "no error"},
      {401, "", "Invalid Codebuff API token"},
      {500, "oops", "Codebuff API error 500"},
      {200, "[]", "Unexpected response from Codebuff"},
      // Reading a sign-in page or an array as 0 of 0 would hide the failure.
      {200, "<!DOCTYPE html><html>Sign in</html>", "Unexpected response from Codebuff"}};
  for (const auto& [status, body, outcome] : cases) {
    testing::ServiceWorld fresh(kNow, Provider::codebuff);
    fresh.transport.respond(kUsageURL, status, body);
    fresh.transport.respond(kSubscriptionURL, 500, R"({"subscription":{"tier":"pro"}})");
    EXPECT_EQ(testing::errorText([&] { CodebuffService(fresh.context).fetchUsage("tok"); }), outcome);
  }

  // The answers, read leniently, and the record made of them.
  const std::vector<std::pair<std::string, codebuff::UsagePayload>> usages = {
      {R"({"usage":"abc","used":" 4 \n","quota":"x","limit":50})", {4, 50, none, {}}},
      // Epoch figures above 10^10 are milliseconds, others seconds.
      {R"({"remainingBalance":[],"remaining":7,"next_quota_reset":1000000000000})", {none, none, 7, kReset}},
      {R"({"remainingBalance":30,"remaining":7,"next_quota_reset":" 1000000000 "})", {none, none, 30, kReset}}};
  for (const auto& [body, read] : usages) EXPECT_EQ(codebuff::readUsagePayload(body), read) << body;
  const std::vector<std::pair<std::string, Payload>> subscriptions = {
      {R"({"subscription":{"displayName":" Team "},"displayName":"Top"})", {"Team", {}, {}, {}, {}, {}, {}}},
      {R"({"subscription":{"tier":3,"status":1},"tier":"free"})", {"free", {}, {}, {}, {}, {}, {}}},
      {R"({"subscription":{"displayName":"  ","tier":"pro"}})", {"pro", {}, {}, {}, {}, {}, {}}},
      {R"({"subscription":{"status":" a "},"email":5,"user":{"email":"d"}})", {{}, " a ", {}, {}, {}, {}, "d"}},
      {R"({"subscription":{"billingPeriodEnd":"x","currentPeriodEnd":1000000000}})", {{}, {}, kReset, {}, {}, {}, {}}},
      {R"({"subscription":"pro","billingPeriodEnd":1,"weeklyLimit":5,"rateLimit":[1]})", {}},
      {"not json", {}},
      {R"({"subscription":{"tier":"pro"},"displayName":"Top","rateLimit":{"weeklyUsed":"5","used":7,)"
       R"("weeklyLimit":null,"limit":"100","weeklyResetsAt":1000000000}})",
       {"Top", {}, {}, 5, 100, kReset, {}}}};
  for (const auto& [body, read] : subscriptions) EXPECT_EQ(codebuff::readSubscriptionPayload(body), read) << body;
  constexpr double kHuge = std::numeric_limits<double>::max();
  // The usage answer's used, total and remaining figures, and the used and limit shown. A positive quota is the
  // limit; used, else quota less remaining, never below 0. Otherwise a positive balance plus consumption; otherwise
  // the balance alone. Figures at the edge of the double range never yield an infinite used or limit.
  struct Case {
    D used = none, total = none, remaining = none;
    std::pair<double, double> shown;
  };
  // clang-format off
  const Case figures[] = {
      {.used = 150, .total = 100, .shown = {150, 100}}, {.used = -5, .total = 100, .shown = {0, 100}},
      {.total = 100, .remaining = 40, .shown = {60, 100}}, {.total = 100, .remaining = 140, .shown = {0, 100}},
      {.total = 100, .shown = {0, 100}}, {.used = 10, .remaining = 40, .shown = {10, 50}},
      {.used = 5, .total = 0, .remaining = 0, .shown = {5, 5}}, {.used = -5, .remaining = 10, .shown = {0, 5}},
      {.used = 7, .shown = {0, 0}}, {.remaining = 30, .shown = {0, 30}}, {.remaining = -3, .shown = {0, 0}},
      {.total = kHuge, .remaining = -kHuge, .shown = {0, kHuge}},
      {.used = kHuge, .remaining = kHuge, .shown = {0, kHuge}}};
  // clang-format on
  for (const Case& c : figures) {
    SCOPED_TRACE(::testing::PrintToString(std::tuple(c.used, c.total, c.remaining)));
    const UsageData data = codebuff::makeUsageData({c.used, c.total, c.remaining, {}}, std::nullopt, kNow);
    EXPECT_EQ(std::pair(data.used, data.limit), c.shown);
  }
  // the usage answer's reset date wins over the billing period's end
  EXPECT_EQ(codebuff::makeUsageData({{}, {}, {}, kReset}, Payload{{}, {}, kNow, {}, {}, {}, {}}, kNow).resetAt, kReset);
  // weekly used, weekly limit: the weekly window's used figure, or none without a window
  for (const auto& [used, limit, weekly] : std::vector<std::tuple<D, D, D>>{
           {5, 0, none}, {5, none, none}, {none, 1000, 0}, {-3, 1000, 0}, {1500, 1000, 1500}}) {
    const auto aux = codebuff::makeUsageData({}, Payload{{}, {}, {}, used, limit, {}, {}}, kNow).auxiliaryUsage;
    EXPECT_EQ(aux.empty() ? none : D(aux.at(0).used), weekly);
  }
}

}  // namespace
}  // namespace dapplewick
