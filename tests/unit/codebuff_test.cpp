#include "providers/codebuff.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;

const std::string kUsageURL = "https://www.codebuff.com/api/v1/usage";
const std::string kSubscriptionURL = "https://www.codebuff.com/api/user/subscription";
const std::string kBrowser = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";
const Timestamp kNow{milliseconds{1'760'000'000'000}};

Timestamp at(long long ms) { return Timestamp{milliseconds{ms}}; }

class CodebuffServiceTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  testing::FakeTransport& transport = world.transport;
  CodebuffService service{world.context};

  std::string errorOf(std::string_view credential) {
    return testing::errorText([&] { service.fetchUsage(credential); });
  }
};

// ---- Requests and credentials ----

TEST_F(CodebuffServiceTest, SendsBothRequestsExactly) {
  transport.respond(kUsageURL, 200, R"({"usage":1,"quota":2})");
  transport.respond(kSubscriptionURL, 200, "{}");
  service.fetchUsage("api:   tok-9 \n");
  ASSERT_EQ(transport.requestCount(), 2u);

  const auto usage = transport.requestsTo(kUsageURL);
  ASSERT_EQ(usage.size(), 1u);
  EXPECT_EQ(usage[0].method, "POST");
  const HTTPHeaders usageHeaders{{"Authorization", "Bearer tok-9"},
                                 {"Content-Type", "application/json"},
                                 {"Accept", "application/json"},
                                 {"User-Agent", kBrowser}};
  EXPECT_EQ(usage[0].headers, usageHeaders);
  EXPECT_EQ(usage[0].body, R"({"fingerprintId":"dapple-wick"})");
  EXPECT_EQ(usage[0].timeout, milliseconds{60'000});

  const auto subscription = transport.requestsTo(kSubscriptionURL);
  ASSERT_EQ(subscription.size(), 1u);
  EXPECT_EQ(subscription[0].method, "GET");
  const HTTPHeaders subscriptionHeaders{
      {"Authorization", "Bearer tok-9"}, {"Accept", "application/json"}, {"User-Agent", kBrowser}};
  EXPECT_EQ(subscription[0].headers, subscriptionHeaders);
  EXPECT_FALSE(subscription[0].body.has_value());
  EXPECT_EQ(subscription[0].timeout, milliseconds{60'000});
}

TEST_F(CodebuffServiceTest, EmptyCredentialFailsBeforeAnyRequest) {
  for (const char* credential : {"web:   ", "api:", "", " \r\n\u3000"}) {
    SCOPED_TRACE(credential);
    EXPECT_EQ(errorOf(credential), "Invalid Codebuff API token");
  }
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(CodebuffServiceTest, ConfiguredOriginIsUsed) {
  const Origins configured(std::map<std::string, std::string>{{"codebuff", "http://127.0.0.1:4321"}});
  CodebuffService local(ServiceContext{transport, world.clock, world.environment, configured});
  transport.respond("http://127.0.0.1:4321/api/v1/usage", 200, R"({"used":3,"limit":4})");
  transport.respond("http://127.0.0.1:4321/api/user/subscription", 200, "{}");
  EXPECT_EQ(local.fetchUsage("tok").limit, 4);
}

// ---- Usage answer: status and shape ----

TEST_F(CodebuffServiceTest, UsageFailuresWhateverTheSubscriptionSaid) {
  struct Case {
    std::string name;
    std::function<void(testing::FakeTransport&)> script;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"401", [](auto& t) { t.respond(kUsageURL, 401, ""); }, "Invalid Codebuff API token"},
      {"403", [](auto& t) { t.respond(kUsageURL, 403, "{}"); }, "Invalid Codebuff API token"},
      {"204", [](auto& t) { t.respond(kUsageURL, 204, ""); }, "Codebuff API error 204"},
      {"500", [](auto& t) { t.respond(kUsageURL, 500, "oops"); }, "Codebuff API error 500"},
      {"not HTTP", [](auto& t) { t.respondNotHTTP(kUsageURL); }, "Unexpected response from Codebuff"},
      {"transport",
       [](auto& t) { t.fail(kUsageURL, TransportError(TransportError::Kind::connection, "Could not connect.")); },
       "Could not connect."},
      // A 200 that is no JSON object is no usage answer: reading it as 0 of 0 would hide the failure.
      {"HTML page", [](auto& t) { t.respond(kUsageURL, 200, "<!DOCTYPE html><html>Sign in</html>"); },
       "Unexpected response from Codebuff"},
      {"JSON array", [](auto& t) { t.respond(kUsageURL, 200, R"([{"usage":1}])"); },
       "Unexpected response from Codebuff"},
      {"JSON string", [](auto& t) { t.respond(kUsageURL, 200, R"("usage")"); }, "Unexpected response from Codebuff"},
      {"JSON number", [](auto& t) { t.respond(kUsageURL, 200, "12"); }, "Unexpected response from Codebuff"},
      {"JSON null", [](auto& t) { t.respond(kUsageURL, 200, "null"); }, "Unexpected response from Codebuff"},
      {"empty body", [](auto& t) { t.respond(kUsageURL, 200, ""); }, "Unexpected response from Codebuff"},
      {"truncated object", [](auto& t) { t.respond(kUsageURL, 200, R"({"usage":1)"); },
       "Unexpected response from Codebuff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld local(kNow);
    CodebuffService fresh(local.context);
    c.script(local.transport);
    local.transport.respond(kSubscriptionURL, 200, R"({"subscription":{"tier":"pro"}})");
    EXPECT_EQ(testing::errorText([&] { fresh.fetchUsage("tok"); }), c.want);
  }
}

TEST_F(CodebuffServiceTest, TransportErrorOfTheUsageRequestKeepsItsType) {
  transport.fail(kUsageURL, TransportError(TransportError::Kind::timeout, "timed out"));
  transport.respond(kSubscriptionURL, 200, "{}");
  EXPECT_THROW(service.fetchUsage("tok"), TransportError);
}

TEST_F(CodebuffServiceTest, ObjectWithoutKnownFieldsIsZeroOfZero) {
  transport.respond(kUsageURL, 200, R"({"message":"ok"})");
  transport.respond(kSubscriptionURL, 500, "");
  UsageData want = UsageData::blank(Provider::codebuff);
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  EXPECT_EQ(service.fetchUsage("tok"), want);
}

// ---- Concurrency ----

TEST_F(CodebuffServiceTest, UsageFailureCancelsAndJoinsTheSubscriptionRequest) {
  std::atomic<bool> subscriptionFinished{false};
  std::atomic<bool> subscriptionSawStop{false};
  transport.handle(kSubscriptionURL, [&](const HTTPRequest& request, std::stop_token stop) -> HTTPResponse {
    try {
      return testing::blockUntilCancelled()(request, stop);
    } catch (...) {
      subscriptionSawStop = stop.stop_requested();
      subscriptionFinished = true;
      throw;
    }
  });
  transport.handle(kUsageURL, [&](const HTTPRequest& request, std::stop_token) {
    // Answer only once the subscription request is in flight, so the failure has something to cancel.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (transport.requestCount() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    HTTPResponse response;
    response.status = 502;
    response.url = request.url;
    return response;
  });

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf("tok"), "Codebuff API error 502");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(subscriptionFinished);
  EXPECT_TRUE(subscriptionSawStop);
  EXPECT_EQ(transport.requestCount(), 2u);
}

TEST_F(CodebuffServiceTest, CancellingTheFetchCancelsBothRequests) {
  transport.handle(kUsageURL, testing::blockUntilCancelled());
  transport.handle(kSubscriptionURL, testing::blockUntilCancelled());
  std::stop_source source;
  std::thread canceller([&] {
    std::this_thread::sleep_for(milliseconds(20));
    source.request_stop();
  });
  const auto started = std::chrono::steady_clock::now();
  try {
    service.fetchUsage("tok", source.get_token());
    ADD_FAILURE() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
  }
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(CodebuffServiceTest, SubscriptionFailureIsSwallowed) {
  struct Case {
    std::string name;
    std::function<void(testing::FakeTransport&)> script;
  };
  const std::vector<Case> cases = {
      {"500", [](auto& t) { t.respond(kSubscriptionURL, 500, ""); }},
      {"401", [](auto& t) { t.respond(kSubscriptionURL, 401, ""); }},
      {"204", [](auto& t) { t.respond(kSubscriptionURL, 204, ""); }},
      {"not HTTP", [](auto& t) { t.respondNotHTTP(kSubscriptionURL); }},
      {"transport", [](auto& t) { t.fail(kSubscriptionURL, TransportError(TransportError::Kind::timeout, "t")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld local(kNow);
    CodebuffService fresh(local.context);
    local.transport.respond(kUsageURL, 200, R"({"usage":20,"quota":100,"next_quota_reset":"2026-02-01T00:00:00Z"})");
    c.script(local.transport);
    UsageData want = UsageData::blank(Provider::codebuff);
    want.used = 20;
    want.limit = 100;
    want.resetAt = at(1769904000000);
    want.resetPeriod = ResetPeriod::monthly;
    want.lastUpdated = kNow;
    EXPECT_EQ(fresh.fetchUsage("tok"), want);
  }
}

TEST_F(CodebuffServiceTest, FullRecordWithTierFallbackResetAndWeeklyWindow) {
  transport.respond(kUsageURL, 200, R"({"used":"150","limit":1000,"remaining":850})");
  transport.respond(kSubscriptionURL, 200,
                    R"({"subscription":{"displayName":"Pro","status":"active","currentPeriodEnd":1769904000},)"
                    R"("rateLimit":{"used":300,"limit":2000,"weeklyResetsAt":"2026-01-05T00:00:00.000Z"}})");
  UsageData want = UsageData::blank(Provider::codebuff);
  want.used = 150;
  want.limit = 1000;
  want.resetAt = at(1769904000000);
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "Tier: Pro";
  UsageData weekly = UsageData::blank(Provider::codebuff);
  weekly.used = 300;
  weekly.limit = 2000;
  weekly.resetAt = at(1767571200000);
  weekly.resetPeriod = ResetPeriod::weekly;
  weekly.lastUpdated = kNow;
  want.auxiliaryUsage = {weekly};
  EXPECT_EQ(service.fetchUsage("tok"), want);
}

// ---- Reading the usage answer ----

TEST(CodebuffReadUsage, FieldsAndFallbackKeys) {
  struct Case {
    std::string body;
    codebuff::UsagePayload want;
  };
  const std::vector<Case> cases = {
      {R"({"usage":"12.5","quota":100})", {12.5, 100, std::nullopt, std::nullopt}},
      {R"({"usage":"abc","used":3})", {3, std::nullopt, std::nullopt, std::nullopt}},
      {R"({"usage":null,"used":" 4 \n"})", {4, std::nullopt, std::nullopt, std::nullopt}},
      {R"({"quota":"x","limit":50})", {std::nullopt, 50, std::nullopt, std::nullopt}},
      {R"({"remainingBalance":[],"remaining":7})", {std::nullopt, std::nullopt, 7, std::nullopt}},
      {R"({"remainingBalance":30,"remaining":7})", {std::nullopt, std::nullopt, 30, std::nullopt}},
      {R"({"usage":true,"quota":false})", {1, 0, std::nullopt, std::nullopt}},
      // The strict decimal grammar: no hex, no words, nothing trailing.
      {R"({"usage":"0x10","quota":"inf","remaining":"nan"})", {}},
      {R"({"usage":"1e999","quota":"12abc","remaining":"-Infinity"})", {}},
      {R"({"usage":"-2.5e1","quota":"+3"})", {-25, 3, std::nullopt, std::nullopt}},
      {R"({})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const auto payload = codebuff::readUsagePayload(c.body);
    EXPECT_EQ(payload.used, c.want.used);
    EXPECT_EQ(payload.total, c.want.total);
    EXPECT_EQ(payload.remaining, c.want.remaining);
  }
}

TEST(CodebuffReadUsage, ResetDates) {
  const auto jan1 = at(1767225600000);
  struct Case {
    std::string value;
    std::optional<Timestamp> want;
  };
  const std::vector<Case> cases = {
      {"1767225600000", jan1},
      {"1767225600", jan1},
      {"1767225600.5", at(1767225600500)},
      {R"("1767225600000")", jan1},
      {R"(" 1767225600 ")", jan1},
      {R"("2026-01-01T00:00:00Z")", jan1},
      {R"("2026-01-01T00:00:00.000Z")", jan1},
      {R"("2026-01-01T01:00:00+01:00")", jan1},
      {R"("   ")", std::nullopt},
      {R"("")", std::nullopt},
      {R"("January 1")", std::nullopt},
      {R"("2026-02-30T00:00:00Z")", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"{}", std::nullopt},
      // Epoch figures outside the years 1970–9999 give no date rather than a wrapped one.
      {"1e300", std::nullopt},
      {R"("1e300")", std::nullopt},
      {"-5", std::nullopt},
      {"9223372036854775807", std::nullopt},
      {"-9223372036854775808", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(codebuff::readUsagePayload(R"({"next_quota_reset":)" + c.value + "}").nextQuotaReset, c.want);
  }
}

TEST(CodebuffReadUsage, NotAnObjectIsNoUsageAnswer) {
  for (const char* body : {"[]", "<html></html>", "", "  ", "\"text\"", "3", "null", "{", "{\"a\":1}}"}) {
    SCOPED_TRACE(body);
    try {
      codebuff::readUsagePayload(body);
      ADD_FAILURE() << "no error";
    } catch (const CodebuffError& error) {
      EXPECT_EQ(error.code(), CodebuffErrorCode::invalidResponse);
      EXPECT_EQ(error.description(), "Unexpected response from Codebuff");
    }
  }
}

// ---- Reading the subscription answer ----

TEST(CodebuffReadSubscription, Sources) {
  using Payload = codebuff::SubscriptionPayload;
  struct Case {
    std::string body;
    std::function<void(Payload&)> fill;  // the expected fields; the rest stay absent
  };
  const auto end = at(1769904000000);
  const std::vector<Case> cases = {
      {R"({"subscription":{"displayName":"  ","tier":"pro"}})", [](Payload& p) { p.tier = "pro"; }},
      {R"({"subscription":{"displayName":" Team "},"displayName":"Top","tier":"t"})",
       [](Payload& p) { p.tier = "Team"; }},
      {R"({"subscription":{"tier":"pro"},"displayName":"Top"})", [](Payload& p) { p.tier = "Top"; }},
      {R"({"subscription":{"tier":3},"tier":"free"})", [](Payload& p) { p.tier = "free"; }},
      {R"({"subscription":{"tier":3}})", [](Payload&) {}},
      {R"({"subscription":"pro","tier":"free"})", [](Payload& p) { p.tier = "free"; }},
      {R"({"subscription":{"status":" active "}})", [](Payload& p) { p.status = " active "; }},
      {R"({"subscription":{"status":1}})", [](Payload&) {}},
      {R"({"status":"active"})", [](Payload&) {}},
      {R"({"email":"a@b.c","user":{"email":"d@e.f"}})", [](Payload& p) { p.email = "a@b.c"; }},
      {R"({"email":5,"user":{"email":"d@e.f"}})", [](Payload& p) { p.email = "d@e.f"; }},
      {R"({"user":"d@e.f"})", [](Payload&) {}},
      {R"({"subscription":{"billingPeriodEnd":"x","currentPeriodEnd":1769904000}})",
       [&](Payload& p) { p.billingPeriodEnd = end; }},
      {R"({"subscription":{"billingPeriodEnd":1769904000000,"currentPeriodEnd":1}})",
       [&](Payload& p) { p.billingPeriodEnd = end; }},
      {R"({"billingPeriodEnd":1769904000})", [](Payload&) {}},
      {R"({"rateLimit":{"weeklyUsed":"5","used":7,"weeklyLimit":null,"limit":"100",)"
       R"("weeklyResetsAt":1769904000}})",
       [&](Payload& p) {
         p.weeklyUsed = 5;
         p.weeklyLimit = 100;
         p.weeklyResetsAt = end;
       }},
      {R"({"rateLimit":[1,2],"weeklyLimit":5})", [](Payload&) {}},
      {"[]", [](Payload&) {}},
      {"not json", [](Payload&) {}},
      {"", [](Payload&) {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    Payload want;
    c.fill(want);
    EXPECT_EQ(codebuff::readSubscriptionPayload(c.body), want);
  }
}

// ---- Building the record ----

TEST(CodebuffMakeUsageData, MainWindow) {
  constexpr double kHuge = std::numeric_limits<double>::max();
  const std::optional<double> none;
  struct Case {
    std::string name;
    std::optional<double> used, total, remaining;
    double wantUsed, wantLimit;
  };
  const std::vector<Case> cases = {
      {"A: quota and used", 12.5, 100, none, 12.5, 100},
      {"A: used beyond the quota is kept", 150, 100, none, 150, 100},
      {"A: negative used becomes 0", -5, 100, none, 0, 100},
      {"A: quota minus remaining", none, 100, 40, 60, 100},
      {"A: remaining above the quota becomes 0", none, 100, 140, 0, 100},
      {"A: quota alone", none, 100, none, 0, 100},
      {"A: used wins over remaining", 10, 100, 40, 10, 100},
      {"B: remaining plus used", 10, none, 40, 10, 50},
      {"B: zero quota falls through", 5, 0, 0, 5, 5},
      {"B: negative quota falls through", 5, -1, 0, 5, 5},
      {"B: negative used counts in the limit", -5, none, 10, 0, 5},
      {"C: nothing positive", 0, 0, 0, 0, 0},
      {"C: negative sum", -20, none, 10, 0, 10},
      {"C: remaining alone", none, none, 30, 0, 30},
      {"C: negative remaining", none, none, -3, 0, 0},
      {"C: used alone", 7, none, none, 0, 0},
      {"C: nothing", none, none, none, 0, 0},
      // Figures at the edge of the double range never yield an infinite used or limit.
      {"A: infinite difference is unreadable", none, kHuge, -kHuge, 0, kHuge},
      {"B: infinite sum falls to C", kHuge, none, kHuge, 0, kHuge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const codebuff::UsagePayload usage{c.used, c.total, c.remaining, std::nullopt};
    const UsageData data = codebuff::makeUsageData(usage, std::nullopt, kNow);
    EXPECT_EQ(data.used, c.wantUsed);
    EXPECT_EQ(data.limit, c.wantLimit);
  }
}

TEST(CodebuffMakeUsageData, SubscriptionAdditions) {
  const auto usageReset = at(1767225600000);
  const auto billingEnd = at(1769904000000);
  const auto weeklyReset = at(1767571200000);
  const codebuff::UsagePayload withReset{1, 10, std::nullopt, usageReset};
  const codebuff::UsagePayload withoutReset{1, 10, std::nullopt, std::nullopt};

  // The usage answer's reset date wins; the billing period's end fills in only when a subscription answer came.
  codebuff::SubscriptionPayload billing;
  billing.billingPeriodEnd = billingEnd;
  EXPECT_EQ(codebuff::makeUsageData(withReset, billing, kNow).resetAt, usageReset);
  EXPECT_EQ(codebuff::makeUsageData(withoutReset, billing, kNow).resetAt, billingEnd);
  EXPECT_EQ(codebuff::makeUsageData(withoutReset, std::nullopt, kNow).resetAt, std::nullopt);

  codebuff::SubscriptionPayload tiered;
  tiered.tier = "Pro";
  EXPECT_EQ(codebuff::makeUsageData(withoutReset, tiered, kNow).note, "Tier: Pro");
  EXPECT_EQ(codebuff::makeUsageData(withoutReset, codebuff::SubscriptionPayload{}, kNow).note, std::nullopt);

  struct WeeklyCase {
    std::string name;
    std::optional<double> used, limit;
    bool present;
    double wantUsed;
  };
  const std::vector<WeeklyCase> weeklyCases = {
      {"limit 0 adds nothing", 5, 0, false, 0},
      {"negative limit adds nothing", 5, -1, false, 0},
      {"no limit adds nothing", 5, std::nullopt, false, 0},
      {"limit without used", std::nullopt, 1000, true, 0},
      {"negative used becomes 0", -3, 1000, true, 0},
      {"used kept beyond the limit", 1500, 1000, true, 1500},
  };
  for (const auto& c : weeklyCases) {
    SCOPED_TRACE(c.name);
    codebuff::SubscriptionPayload subscription;
    subscription.weeklyUsed = c.used;
    subscription.weeklyLimit = c.limit;
    subscription.weeklyResetsAt = weeklyReset;
    const UsageData data = codebuff::makeUsageData(withoutReset, subscription, kNow);
    ASSERT_EQ(data.auxiliaryUsage.size(), c.present ? 1u : 0u);
    if (!c.present) continue;
    UsageData want = UsageData::blank(Provider::codebuff);
    want.used = c.wantUsed;
    want.limit = *c.limit;
    want.resetAt = weeklyReset;
    want.resetPeriod = ResetPeriod::weekly;
    want.lastUpdated = kNow;
    EXPECT_EQ(data.auxiliaryUsage[0], want);
  }
}

}  // namespace
}  // namespace dapplewick
