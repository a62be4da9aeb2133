#include "providers/elevenlabs.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "common/numbers.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kURL = "https://api.elevenlabs.io/v1/user/subscription";
const Timestamp kNow = Timestamp(std::chrono::sys_days(std::chrono::year{2026} / 3 / 15).time_since_epoch()) + 12h;

// A subscription answer: the two required counts plus `extra` members (written as JSON without braces).
std::string body(const std::string& extra) {
  return R"({"character_count":1200,"character_limit":10000)" + (extra.empty() ? "" : "," + extra) + "}";
}

UsageData usageOf(const std::string& extra) {
  return elevenlabs::makeUsage(elevenlabs::decodeSubscription(body(extra)), kNow);
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

TEST_F(ElevenLabsTest, SendsTheRequestExactlyAndBuildsTheRecord) {
  transport.respond(kURL, 200,
                    R"({"tier":"creator","character_count":120500.0,"character_limit":100000,"voice_slots_used":3,)"
                    R"("professional_voice_slots_used":1,"voice_limit":30,"professional_voice_limit":2,)"
                    R"("current_overage":{"amount":"4.10","currency":"USD"},"extra":{"nested":[1]},)"
                    R"("next_character_count_reset_unix":1775001600,"status":"past_due"})");
  UsageData slot = UsageData::blank(Provider::elevenLabs);
  slot.costSemantic = CostSemantic::none;
  slot.resetPeriod = ResetPeriod::monthly;
  slot.lastUpdated = kNow;
  UsageData want = slot;
  want.used = 120500;
  want.limit = 100000;
  want.resetAt = Timestamp(1775001600s);
  want.note = "Plan: Creator \u00B7 past_due \u00B7 Overage: 4.10 USD";
  for (const auto& [used, limit, note] : {std::tuple{3, 30, "Voice slots"}, {1, 2, "Professional voices"}}) {
    slot.used = used;
    slot.limit = limit;
    slot.note = note;
    want.auxiliaryUsage.push_back(slot);
  }
  EXPECT_EQ(service.fetchUsage("api:sk_live_123\n"), want);

  ASSERT_EQ(transport.requestCount(), 1u);
  const HTTPRequest request = transport.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, kURL);
  EXPECT_EQ(request.headers,
            (HTTPHeaders{{"xi-api-key", "sk_live_123"},
                         {"Accept", "application/json"},
                         {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"}}));
  EXPECT_EQ(request.body, std::nullopt);
  EXPECT_EQ(request.timeout, 60s);
}

TEST_F(ElevenLabsTest, AnEmptyKeySendsNothing) {
  EXPECT_EQ(failure("web: \u3000\r\n"), "Invalid ElevenLabs API key");
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(ElevenLabsTest, FailuresOfTheAnswer) {
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {0, "", "Unexpected response from ElevenLabs"},
      {401, body(""), "Invalid ElevenLabs API key"},
      {429, body(""), "ElevenLabs API error 429"},
      {200, R"({"character_count":1,"character_limit":null})", "missing key \"character_limit\""},
      {200, R"({"character_count":12.5,"character_limit":10000})", "expected an integer at \"character_count\""},
      {200, body(R"("tier":5)"), "expected a string at \"tier\""},
      {200, body(R"("current_overage":3)"), "expected an object at \"current_overage\""},
      {200, body(R"("current_overage":{"amount":1.2})"), "expected a string at \"current_overage.amount\""},
  };
  for (const auto& [status, answer, want] : cases) {  // status 0: not an HTTP answer
    if (status == 0) transport.respondNotHTTP(kURL);
    if (status != 0) transport.respond(kURL, status, answer);
    EXPECT_EQ(failure(), want) << answer;
  }
}

TEST(ElevenLabsNote, CollectsPlanAndOverage) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {R"("tier":null,"current_overage":null)", std::nullopt},
      {R"("tier":"gold_plan","status":"ACTIVE")", "Plan: Gold Plan"},
      {R"("tier":"gold_plan","status":"Trialing")", "Plan: Gold Plan \u00B7 Trialing"},
      {R"("tier":"PRO_TIER_v2")", "Plan: Pro Tier V2"},
      {R"("status":"past_due")", std::nullopt},
      {R"("current_overage":{"amount":"1.20 ","currency":"\t"})", "Overage: 1.20"},
      {R"("current_overage":{"currency":"USD"})", std::nullopt},
  };
  for (const auto& [extra, want] : cases) EXPECT_EQ(usageOf(extra).note, want) << extra;
}

TEST(ElevenLabsUsage, AddsSlotRecordsOnlyWithAPositiveLimit) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {R"("voice_slots_used":3,"voice_limit":0)", {}},
      {R"("voice_slots_used":3,"voice_limit":-1)", {}},
      {R"("voice_limit":10,"professional_voice_slots_used":1)", {}},
      {R"("voice_slots_used":12,"voice_limit":10)", {"Voice slots 12/10"}},
      {R"("professional_voice_limit":2,"professional_voice_slots_used":0,"voice_limit":5,"voice_slots_used":4)",
       {"Voice slots 4/5", "Professional voices 0/2"}},
  };
  for (const auto& [extra, want] : cases) {
    std::vector<std::string> slots;
    for (const auto& aux : usageOf(extra).auxiliaryUsage) {
      slots.push_back(*aux.note + " " + formatFixed(aux.used, 0) + "/" + formatFixed(aux.limit, 0));
    }
    EXPECT_EQ(slots, want) << extra;
  }
}

TEST(ElevenLabsUsage, ReadsTheResetTimeWithinTheYearsItCanFallIn) {
  const std::vector<std::pair<std::string, std::optional<Timestamp>>> cases = {
      {"1775001600", Timestamp(1775001600s)},
      {"-86400", std::nullopt},
      {"9223372036854775807", std::nullopt},
  };
  for (const auto& [seconds, want] : cases) {
    EXPECT_EQ(usageOf(R"("next_character_count_reset_unix":)" + seconds).resetAt, want) << seconds;
  }
}

}  // namespace
}  // namespace dapplewick
