#include <gtest/gtest.h>

#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

TEST(ElevenLabsEndToEnd, ReportsCharactersVoiceSlotsAndPlan) {
  testing::ProviderServer provider;
  provider.handle("GET", "/v1/user/subscription", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"tier":"creator_plus","character_count":25000,"character_limit":100000,)"
                    R"("voice_slots_used":2,"voice_limit":10,"next_character_count_reset_unix":1775001600,)"
                    R"("status":"active"})",
                    "application/json");
  });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"elevenlabs", provider.origin()}});
  sandbox.saveCredential("elevenlabs", "api:sk_test_key\n");
  const Json records = sandbox.runJson({"elevenlabs"});

  ASSERT_EQ(records.size(), 1u);
  const Json& record = records[0];
  EXPECT_EQ(record["provider"], "elevenlabs");
  EXPECT_EQ(record["used"], 25000.0);
  EXPECT_EQ(record["limit"], 100000.0);
  EXPECT_EQ(record["costSemantic"], "none");
  EXPECT_EQ(record["resetAt"], "2026-04-01T00:00:00.000Z");
  EXPECT_EQ(record["resetPeriod"], "monthly");
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["note"], "Plan: Creator Plus");
  EXPECT_EQ(record["percentage"], 25);
  ASSERT_EQ(record["auxiliaryUsage"].size(), 1u);
  const Json& slots = record["auxiliaryUsage"][0];
  EXPECT_EQ(slots["provider"], "elevenlabs");
  EXPECT_EQ(slots["used"], 2.0);
  EXPECT_EQ(slots["limit"], 10.0);
  EXPECT_EQ(slots["note"], "Voice slots");
  EXPECT_TRUE(slots["resetAt"].is_null());

  const auto requests = provider.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("xi-api-key"), "sk_test_key");
}

TEST(ElevenLabsEndToEnd, ShowsARejectedKeyAsTheRecordsError) {
  testing::ProviderServer provider;
  provider.handle("GET", "/v1/user/subscription", [](const httplib::Request&, httplib::Response& res) {
    res.status = 401;
    res.set_content(R"({"detail":{"status":"invalid_api_key"}})", "application/json");
  });
  provider.start();

  testing::Sandbox sandbox;
  sandbox.setOrigins({{"elevenlabs", provider.origin()}});
  sandbox.saveCredential("elevenlabs", "sk_wrong");
  const Json records = sandbox.runJson({"elevenlabs"});

  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["error"], "Invalid ElevenLabs API key");
  EXPECT_EQ(records[0]["used"], 0.0);
  const testing::RunResult text = sandbox.run({"elevenlabs"});
  EXPECT_EQ(text.out.find("sk_wrong"), std::string::npos);
}

}  // namespace
}  // namespace dapplewick
