#include "providers/elevenlabs.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "common/numbers.hpp"
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

// The note and the slot records of a fetch, or the text of its error.
std::string describe(const UsageData& data) {
  std::string text = data.note.value_or("no note");
  for (const UsageData& slot : data.auxiliaryUsage) {
    text += " + " + *slot.note + " " + formatFixed(slot.used, 0) + "/" + formatFixed(slot.limit, 0);
  }
  return text;
}

TEST(ElevenLabsService, SendsTheRequestExactlyAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200,
                          R"({"tier":"creator","character_count":120500.0,"character_limit":100000,)"
                          R"("voice_slots_used":3,"professional_voice_slots_used":1,"voice_limit":30,)"
                          R"("professional_voice_limit":2,"current_overage":{"amount":"4.10","currency":"USD"},)"
                          R"("extra":{"nested":[1]},"next_character_count_reset_unix":1775001600,)"
                          R"("status":"past_due"})");
  UsageData slot = UsageData::blank(Provider::elevenLabs);
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
  EXPECT_EQ(ElevenLabsService(world.context).fetchUsage("api:sk_live_123\n"), want);
  ASSERT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(testing::requestText(world.transport.requests()[0]),
            "GET " + kURL + " (60000 ms)\nxi-api-key: sk_live_123\nAccept: application/json\n"
            "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)");
}

TEST(ElevenLabsService, AnswersToNotesSlotsOrErrors) {
  const std::vector<std::tuple<int, std::string, std::string>> cases = {  // status 0: not an HTTP answer
      {0, "", "Unexpected response from ElevenLabs"},
      {401, body(""), "Invalid ElevenLabs API key"},
      {429, body(""), "ElevenLabs API error 429"},
      {200, R"({"character_count":1,"character_limit":null})", "missing key \"character_limit\""},
      {200, R"({"character_count":12.5,"character_limit":10000})", "expected an integer at \"character_count\""},
      {200, body(R"("tier":5)"), "expected a string at \"tier\""},
      {200, body(R"("current_overage":3)"), "expected an object at \"current_overage\""},
      {200, body(R"("current_overage":{"amount":1.2})"), "expected a string at \"current_overage.amount\""},
      // The plan, shown unless merely active, and the overage.
      {200, body(R"("tier":null,"current_overage":null)"), "no note"},
      {200, body(R"("tier":"gold_plan","status":"ACTIVE")"), "Plan: Gold Plan"},
      {200, body(R"("tier":"gold_plan","status":"Trialing")"), "Plan: Gold Plan \u00B7 Trialing"},
      {200, body(R"("tier":"PRO_TIER_v2")"), "Plan: Pro Tier V2"},
      {200, body(R"("status":"past_due")"), "no note"},
      {200, body(R"("current_overage":{"amount":"1.20 ","currency":"\t"})"), "Overage: 1.20"},
      {200, body(R"("current_overage":{"currency":"USD"})"), "no note"},
      // Slot records only with a positive limit.
      {200, body(R"("voice_slots_used":3,"voice_limit":0)"), "no note"},
      {200, body(R"("voice_slots_used":3,"voice_limit":-1)"), "no note"},
      {200, body(R"("voice_limit":10,"professional_voice_slots_used":1)"), "no note"},
      {200, body(R"("voice_slots_used":12,"voice_limit":10)"), "no note + Voice slots 12/10"},
      {200, body(R"("professional_voice_limit":2,"professional_voice_slots_used":0,"voice_limit":5,)"
                 R"("voice_slots_used":4)"),
       "no note + Voice slots 4/5 + Professional voices 0/2"},
  };
  for (const auto& [status, answer, want] : cases) {
    testing::ServiceWorld world(kNow);
    if (status == 0) world.transport.respondNotHTTP(kURL);
    if (status != 0) world.transport.respond(kURL, status, answer);
    EXPECT_EQ(testing::outcomeOf([&] { return ElevenLabsService(world.context).fetchUsage("key"); }, describe), want)
        << answer;
  }
}

}  // namespace
}  // namespace dapplewick
