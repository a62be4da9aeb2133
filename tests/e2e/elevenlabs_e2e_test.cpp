#include <gtest/gtest.h>

#include <string>

#include "support/e2e_harness.hpp"

namespace dapplewick {
namespace {

// The binary against a loopback ElevenLabs answering `status` and `body`, with `key` saved.
Json run(int status, const std::string& body, const std::string& key, testing::ProviderServer& provider) {
  provider.handle("GET", "/v1/user/subscription", [status, body](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, "application/json");
  });
  provider.start();
  testing::Sandbox sandbox;
  sandbox.setOrigins({{"elevenlabs", provider.origin()}});
  sandbox.saveCredential("elevenlabs", key);
  const Json records = sandbox.runJson({"elevenlabs"});
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ((records.dump() + sandbox.run({"elevenlabs"}).out).find("sk_"), std::string::npos)
      << "the key must never be printed";
  return records.empty() ? Json::object() : records[0];
}

TEST(ElevenLabsEndToEnd, ReportsCharactersVoiceSlotsAndPlan) {
  testing::ProviderServer provider;
  Json record = run(200,
                    R"({"tier":"creator_plus","character_count":25000,"character_limit":100000,)"
                    R"("voice_slots_used":2,"voice_limit":10,"next_character_count_reset_unix":1775001600,)"
                    R"("status":"active"})",
                    "api:sk_test_key\n", provider);
  EXPECT_TRUE(record["error"].is_null()) << record["error"];
  EXPECT_EQ(record["used"], 25000.0);
  EXPECT_EQ(record["resetAt"], "2026-04-01T00:00:00.000Z");
  EXPECT_EQ(record["note"], "Plan: Creator Plus");
  EXPECT_EQ(record["auxiliaryUsage"][0]["note"], "Voice slots");
  for (const auto& request : provider.requests()) EXPECT_EQ(request.header("xi-api-key"), "sk_test_key");
}

TEST(ElevenLabsEndToEnd, ShowsARejectedKeyAsTheRecordsError) {
  testing::ProviderServer provider;
  Json record = run(401, R"({"detail":{"status":"invalid_api_key"}})", "sk_wrong", provider);
  EXPECT_EQ(record["error"], "Invalid ElevenLabs API key");
}

}  // namespace
}  // namespace dapplewick
