#include "providers/elevenlabs.hpp"

#include <chrono>
#include <map>

#include <gtest/gtest.h>

#include "model/configuration.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kURL = "https://api.elevenlabs.io/v1/user/subscription";
const std::string kUserAgent = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";
const Timestamp kNow = Timestamp(std::chrono::sys_days(std::chrono::year{2026} / 3 / 15).time_since_epoch()) + 12h;
const std::string kMinimal = R"({"character_count":1200,"character_limit":10000})";

// A subscription answer: the two required counts plus `extra` members (written as JSON without braces).
std::string body(const std::string& extra) {
  return R"({"character_count":1200,"character_limit":10000)" + (extra.empty() ? "" : "," + extra) + "}";
}

class ElevenLabsTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  testing::FakeTransport& transport = world.transport;
  ElevenLabsService service{world.context};

  std::string failure(std::string_view credential = "key") {
    return testing::errorText([&] { service.fetchUsage(credential); });
  }
};

TEST_F(ElevenLabsTest, SendsTheRequestExactly) {
  transport.respond(kURL, 200, kMinimal);
  service.fetchUsage("api:sk_live_123\n");

  ASSERT_EQ(transport.requestCount(), 1u);
  const HTTPRequest request = transport.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, kURL);
  EXPECT_EQ(request.headers, (HTTPHeaders{{"xi-api-key", "sk_live_123"},
                                          {"Accept", "application/json"},
                                          {"User-Agent", kUserAgent}}));
  EXPECT_EQ(request.body, std::nullopt);
  EXPECT_EQ(request.timeout, 60s);
}

TEST_F(ElevenLabsTest, UsesTheConfiguredOrigin) {
  Origins local(std::map<std::string, std::string>{{"elevenlabs", "http://127.0.0.1:9000"}});
  ElevenLabsService localService{ServiceContext{transport, world.clock, world.environment, local}};
  transport.respond("http://127.0.0.1:9000/v1/user/subscription", 200, kMinimal);
  EXPECT_EQ(localService.fetchUsage("key").used, 1200);
}

TEST_F(ElevenLabsTest, PreparesTheKey) {
  struct Case {
    std::string stored;
    std::string sent;
  };
  const Case cases[] = {
      {"key", "key"},
      {"web:key", "key"},
      {"api:key\r\n", "key"},
      {"  api:key", "api:key"},  // the prefix is tested before trimming
      {"api:web:key", "web:key"},
      {"\u00A0key\u3000", "key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    testing::ServiceWorld fresh{kNow};
    fresh.transport.respond(kURL, 200, kMinimal);
    ElevenLabsService(fresh.context).fetchUsage(c.stored);
    ASSERT_EQ(fresh.transport.requestCount(), 1u);
    EXPECT_EQ(fresh.transport.requests()[0].headers.get("xi-api-key"), c.sent);
  }
}

TEST_F(ElevenLabsTest, AnEmptyKeySendsNothing) {
  for (const std::string credential : {"", "   ", "\n", "api:", "web: \r\n", "\u3000"}) {
    SCOPED_TRACE(credential);
    EXPECT_EQ(failure(credential), "Invalid ElevenLabs API key");
  }
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(ElevenLabsTest, JudgesTheStatus) {
  struct Case {
    int status;  // 0: not an HTTP answer
    std::string want;
    ElevenLabsErrorCode code;
  };
  const Case cases[] = {
      {0, "Unexpected response from ElevenLabs", ElevenLabsErrorCode::invalidResponse},
      {401, "Invalid ElevenLabs API key", ElevenLabsErrorCode::invalidCredentials},
      {403, "Invalid ElevenLabs API key", ElevenLabsErrorCode::invalidCredentials},
      {201, "ElevenLabs API error 201", ElevenLabsErrorCode::httpError},
      {404, "ElevenLabs API error 404", ElevenLabsErrorCode::httpError},
      {429, "ElevenLabs API error 429", ElevenLabsErrorCode::httpError},
      {500, "ElevenLabs API error 500", ElevenLabsErrorCode::httpError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    if (c.status == 0) {
      transport.respondNotHTTP(kURL);
    } else {
      transport.respond(kURL, c.status, kMinimal);
    }
    try {
      service.fetchUsage("key");
      ADD_FAILURE() << "no error";
    } catch (const ElevenLabsError& error) {
      EXPECT_EQ(std::string(error.what()), c.want);
      EXPECT_EQ(error.code(), c.code);
    }
  }
}

TEST_F(ElevenLabsTest, PassesATransportErrorThrough) {
  transport.fail(kURL, TransportError(TransportError::Kind::connection, "Could not connect to the server."));
  try {
    service.fetchUsage("key");
    FAIL() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::connection);
    EXPECT_EQ(std::string(error.what()), "Could not connect to the server.");
  }
}

TEST_F(ElevenLabsTest, PassesADecodingErrorThroughUnchanged) {
  struct Case {
    std::string body;
    std::string want;
  };
  const Case cases[] = {
      {"<html>", "the data is not valid JSON"},
      {"", "the data is not valid JSON"},
      {"[]", "expected an object at the top level"},
      {R"({"character_limit":10000})", "missing key \"character_count\""},
      {R"({"character_count":1,"character_limit":null})", "missing key \"character_limit\""},
      {R"({"character_count":"1200","character_limit":10000})", "expected an integer at \"character_count\""},
      {R"({"character_count":12.5,"character_limit":10000})", "expected an integer at \"character_count\""},
      {R"({"character_count":true,"character_limit":10000})", "expected an integer at \"character_count\""},
      {body(R"("tier":5)"), "expected a string at \"tier\""},
      {body(R"("status":false)"), "expected a string at \"status\""},
      {body(R"("voice_limit":"10")"), "expected an integer at \"voice_limit\""},
      {body(R"("professional_voice_slots_used":1.5)"), "expected an integer at \"professional_voice_slots_used\""},
      {body(R"("next_character_count_reset_unix":"1775001600")"),
       "expected an integer at \"next_character_count_reset_unix\""},
      {body(R"("current_overage":3)"), "expected an object at \"current_overage\""},
      {body(R"("current_overage":{"amount":1.2})"), "expected a string at \"current_overage.amount\""},
      {body(R"("current_overage":{"amount":"1","currency":840})"),
       "expected a string at \"current_overage.currency\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    transport.respond(kURL, 200, c.body);
    try {
      service.fetchUsage("key");
      ADD_FAILURE() << "no error";
    } catch (const DecodingError& error) {
      EXPECT_EQ(std::string(error.what()), c.want);
    }
  }
}

TEST(ElevenLabsDecoding, AcceptsIntegralFloatsNullsAndUnknownKeys) {
  const auto subscription = elevenlabs::decodeSubscription(
      R"({"character_count":1200.0,"character_limit":10000,"tier":null,"voice_limit":null,"current_overage":null,)"
      R"("extra":{"nested":[1,2]},"status":"active"})");
  EXPECT_EQ(subscription.characterCount, 1200);
  EXPECT_EQ(subscription.tier, std::nullopt);
  EXPECT_EQ(subscription.voiceLimit, std::nullopt);
  EXPECT_FALSE(subscription.currentOverage.has_value());
  EXPECT_EQ(subscription.status, "active");
}

TEST_F(ElevenLabsTest, BuildsTheWholeRecord) {
  transport.respond(kURL, 200,
                    R"({"tier":"creator","character_count":120500,"character_limit":100000,"voice_slots_used":3,)"
                    R"("professional_voice_slots_used":1,"voice_limit":30,"professional_voice_limit":2,)"
                    R"("current_overage":{"amount":"4.10","currency":"USD"},)"
                    R"("next_character_count_reset_unix":1775001600,"status":"past_due"})");

  const auto slot = [](double used, double limit, const char* note) {
    UsageData record = UsageData::blank(Provider::elevenLabs);
    record.used = used;
    record.limit = limit;
    record.costSemantic = CostSemantic::none;
    record.resetPeriod = ResetPeriod::monthly;
    record.lastUpdated = kNow;
    record.note = note;
    return record;
  };
  UsageData want = UsageData::blank(Provider::elevenLabs);
  want.used = 120500;
  want.limit = 100000;
  want.cost = 0;
  want.costSemantic = CostSemantic::none;
  want.resetAt = Timestamp(1775001600s);
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "Plan: Creator \u00B7 past_due \u00B7 Overage: 4.10 USD";
  want.auxiliaryUsage = {slot(3, 30, "Voice slots"), slot(1, 2, "Professional voices")};
  EXPECT_EQ(service.fetchUsage("key"), want);
}

TEST(ElevenLabsNote, CollectsPlanAndOverage) {
  struct Case {
    std::string extra;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {R"("tier":"gold_plan","status":"active")", "Plan: Gold Plan"},
      {R"("tier":"gold_plan","status":"ACTIVE")", "Plan: Gold Plan"},
      {R"("tier":"gold_plan","status":"past_due")", "Plan: Gold Plan \u00B7 past_due"},
      {R"("tier":"gold_plan","status":"Trialing")", "Plan: Gold Plan \u00B7 Trialing"},
      {R"("tier":"gold_plan","status":"")", "Plan: Gold Plan"},
      {R"("tier":"gold_plan")", "Plan: Gold Plan"},
      {R"("tier":"PRO_TIER_v2")", "Plan: Pro Tier V2"},
      {R"("tier":"free")", "Plan: Free"},
      {R"("status":"past_due")", std::nullopt},
      {R"("current_overage":{"amount":"1.20"})", "Overage: 1.20"},
      {R"("current_overage":{"amount":"1.20","currency":null})", "Overage: 1.20"},
      {R"("current_overage":{"amount":"1.20","currency":"USD"})", "Overage: 1.20 USD"},
      {R"("current_overage":{"amount":"1.20 ","currency":"\t"})", "Overage: 1.20"},
      {R"("current_overage":{"currency":"USD"})", std::nullopt},
      {R"("current_overage":{})", std::nullopt},
      {R"("tier":"starter","status":"past_due","current_overage":{"amount":"0.50","currency":"EUR"})",
       "Plan: Starter \u00B7 past_due \u00B7 Overage: 0.50 EUR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    const auto subscription = elevenlabs::decodeSubscription(body(c.extra));
    EXPECT_EQ(elevenlabs::makeNote(subscription), c.want);
    EXPECT_EQ(elevenlabs::makeUsage(subscription, kNow).note, c.want);
  }
}

TEST(ElevenLabsUsage, AddsSlotRecordsOnlyWithAPositiveLimit) {
  struct Case {
    std::string extra;
    std::vector<std::pair<std::string, std::pair<double, double>>> want;  // note, (used, limit)
  };
  const Case cases[] = {
      {"", {}},
      {R"("voice_slots_used":3,"voice_limit":0)", {}},
      {R"("voice_slots_used":3,"voice_limit":-1)", {}},
      {R"("voice_slots_used":3)", {}},
      {R"("voice_limit":10)", {}},
      {R"("voice_slots_used":12,"voice_limit":10)", {{"Voice slots", {12, 10}}}},
      {R"("professional_voice_slots_used":1)", {}},
      {R"("professional_voice_slots_used":1,"professional_voice_limit":1)", {{"Professional voices", {1, 1}}}},
      {R"("professional_voice_limit":2,"professional_voice_slots_used":0,"voice_limit":5,"voice_slots_used":4)",
       {{"Voice slots", {4, 5}}, {"Professional voices", {0, 2}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    const UsageData data = elevenlabs::makeUsage(elevenlabs::decodeSubscription(body(c.extra)), kNow);
    ASSERT_EQ(data.auxiliaryUsage.size(), c.want.size());
    for (std::size_t i = 0; i < c.want.size(); ++i) {
      const UsageData& aux = data.auxiliaryUsage[i];
      EXPECT_EQ(aux.note, c.want[i].first);
      EXPECT_EQ(aux.used, c.want[i].second.first);
      EXPECT_EQ(aux.limit, c.want[i].second.second);
      EXPECT_EQ(aux.provider, Provider::elevenLabs);
      EXPECT_EQ(aux.id, Provider::elevenLabs);
      EXPECT_EQ(aux.resetAt, std::nullopt);
      EXPECT_EQ(aux.lastUpdated, kNow);
      EXPECT_TRUE(aux.auxiliaryUsage.empty());
    }
  }
}

TEST(ElevenLabsUsage, PassesFiguresOnUnclamped) {
  const UsageData data = elevenlabs::makeUsage(
      elevenlabs::decodeSubscription(R"({"character_count":500,"character_limit":0})"), kNow);
  EXPECT_EQ(data.used, 500);
  EXPECT_EQ(data.limit, 0);
  EXPECT_EQ(data.percentage(), 0);
}

TEST(ElevenLabsUsage, ReadsTheResetTime) {
  struct Case {
    std::string extra;
    std::optional<Timestamp> want;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {R"("next_character_count_reset_unix":null)", std::nullopt},
      {R"("next_character_count_reset_unix":1775001600)", Timestamp(1775001600s)},
      {R"("next_character_count_reset_unix":0)", Timestamp(0s)},
      // Outside the years a reset can fall in: no reset time rather than an overflowed one.
      {R"("next_character_count_reset_unix":-86400)", std::nullopt},
      {R"("next_character_count_reset_unix":9223372036854775807)", std::nullopt},
      {R"("next_character_count_reset_unix":1000000000000000)", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    const UsageData data = elevenlabs::makeUsage(elevenlabs::decodeSubscription(body(c.extra)), kNow);
    EXPECT_EQ(data.resetAt, c.want);
    EXPECT_EQ(data.resetPeriod, ResetPeriod::monthly);
  }
}

}  // namespace
}  // namespace dapplewick
