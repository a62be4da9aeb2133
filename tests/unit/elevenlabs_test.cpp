#include "providers/elevenlabs.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.elevenlabs.io/v1/user/subscription";
const Timestamp kNow{std::chrono::seconds{1'773'576'000}};  // 2026-03-15T12:00Z
using testing::kNotHTTP;
std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

// A subscription answer: the two required counts plus `extra` members (written as JSON without braces).
std::string body(const std::string& extra) {
  return R"({"character_count":1200,"character_limit":10000)" + (extra.empty() ? "" : "," + extra) + "}";
}

UsageData record(double used, double limit, std::optional<std::string> note) {
  UsageData d = UsageData::blank(Provider::elevenLabs);
  std::tie(d.used, d.limit, d.note, d.lastUpdated) = std::tuple(used, limit, note, kNow);
  return d;
}

TEST(ElevenLabsService, SendsTheRequestExactlyAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow, Provider::elevenLabs);
  world.transport.respond(kURL, 200,
                          R"({"tier":"creator","character_count":120500.0,"character_limit":100000,)"
                          R"("voice_slots_used":12,"professional_voice_slots_used":0,"voice_limit":5,)"
                          R"("professional_voice_limit":2,"current_overage":{"amount":"4.10","currency":"USD"},)"
                          R"("x":{"y":[1]},"status":"past_due","next_character_count_reset_unix":1775001600})");
  UsageData want = record(120500, 100000, "Plan: Creator \u00B7 past_due \u00B7 Overage: 4.10 USD");
  want.resetAt = Timestamp(std::chrono::seconds(1775001600));
  want.auxiliaryUsage = {record(12, 5, "Voice slots"), record(0, 2, "Professional voices")};
  EXPECT_EQ(ElevenLabsService(world.context).fetchUsage("api:sk_live_123\n"), want);
  EXPECT_EQ(world.transport.requestCount(), 1u);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL +
                " (60000 ms)\nxi-api-key: sk_live_123\nAccept: application/json\n"
                "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)");
}

TEST(ElevenLabsService, AnswersToNotesSlotsOrErrors) {
  struct Case {
    int status;
    std::string answer, want;
  };
  const std::string plain = "1200/10000 monthly";
  const Case cases[] = {
      {kNotHTTP, "", "Unexpected response from ElevenLabs"},
      {401, "", "Invalid ElevenLabs API key"},
      {429, "", "ElevenLabs API error 429"},
      {200, body(R"("tier":5)"), "expected a string at \"tier\""},
      {200, R"({"character_count":1,"character_limit":null})", "missing key \"character_limit\""},
      {200, R"({"character_count":12.5,"character_limit":10000})", "expected an integer at \"character_count\""},
      {200, body(R"("current_overage":{"amount":1.2})"), "expected a string at \"current_overage.amount\""},
      // The plan, shown unless merely active, and the overage.
      {200, body(R"("tier":null,"current_overage":null)"), plain},
      {200, body(R"("status":"past_due","current_overage":{"currency":"USD"})"), plain},
      {200, body(R"("tier":"gold_plan","status":"ACTIVE")"), plain + " 'Plan: Gold Plan'"},
      {200, body(R"("tier":"gold_plan","status":"Trialing")"), plain + " 'Plan: Gold Plan \u00B7 Trialing'"},
      {200, body(R"("tier":"PRO_TIER_v2")"), plain + " 'Plan: Pro Tier V2'"},
      {200, body(R"("current_overage":{"amount":"1.20 ","currency":"\t"})"), plain + " 'Overage: 1.20'"},
      // Slot records only with a positive limit.
      {200, body(R"("voice_limit":9,"professional_voice_slots_used":1,"professional_voice_limit":0)"), plain},
      {200, body(R"("voice_limit":1,"voice_slots_used":0)"), plain + " + 0/1 monthly 'Voice slots'"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.answer);
    testing::ServiceWorld world(kNow, Provider::elevenLabs);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kURL) : world.transport.respond(kURL, c.status, c.answer);
    EXPECT_EQ(testing::outcomeOf([&] { return ElevenLabsService(world.context).fetchUsage("key"); }, show), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
