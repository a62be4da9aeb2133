#include "providers/antigravity.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds{1'765'000'000'000}};
const std::string kModels = "https://cloudcode-pa.googleapis.com/v1internal:fetchAvailableModels";
const std::string kQuota = "https://cloudcode-pa.googleapis.com/v1internal:retrieveUserQuota";

std::string summary(const UsageData& r) {
  return formatFixed(r.used, 1) + "/" + formatFixed(r.limit, 0) + " " +
         (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-") + " " + (r.lastUpdated ? "now " : "") +
         r.note.value_or("-");
}

TEST(AntigravityService, PostsAnEmptyObjectAndFallsBackToTheUserQuotaAfterA403) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kModels, 403, "");
  world.transport.respond(kQuota, 200,
                          R"({"buckets":[{"modelId":"gemini-pro","remainingFraction":0.9,)"
                          R"("resetTime":"2025-01-31T17:00:00.250Z"},{"remainingFraction":0.1},"x"]})");
  EXPECT_EQ(summary(AntigravityService(world.context).fetchUsage("api:ya29.tok\n")),
            "10.0/100 2025-01-31T17:00:00Z now Models: gemini-pro");
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer ya29.tok\nContent-Type: application/json\nUser-Agent: antigravity\n\n{}";
  EXPECT_EQ(testing::requestText(requests[0]), "POST " + kModels + rest);
  EXPECT_EQ(testing::requestText(requests[1]), "POST " + kQuota + rest);
}

// The most constrained model is reported (an absent fraction counts as 1, the first wins a tie); the note names
// the first three models in document order.
TEST(AntigravityService, SelectsTheMostConstrainedModel) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"z":{"displayName":"Zeta","label":"z","quotaInfo":{"remainingFraction":0.25,)"
       R"("resetTime":"2025-01-31T17:00:00Z"}}})",
       "75.0/100 2025-01-31T17:00:00Z now Models: Zeta"},
      {R"({"b":{"label":"B","quotaInfo":{"remainingFraction":0.5}},"a":{"quotaInfo":{"remainingFraction":0.5,)"
       R"("resetTime":"2025-02-01"}},"c":{"quotaInfo":{}},"d":{"quotaInfo":{"remainingFraction":0.6}},)"
       R"("e":{"quotaInfo":{"remainingFraction":0.7}}})",
       "50.0/100 - now Models: B, a, c"},
      {R"({"a":{"quotaInfo":{"remainingFraction":1.4}},"b":{"quotaInfo":"x"},"c":[]})", "0.0/100 - now Models: a"},
      {R"({"a":{"quotaInfo":{"remainingFraction":-0.2}}})", "100.0/100 - now Models: a"},
      {R"({"a":{"quotaInfo":{"remainingFraction":"0.1"}},"b":{"quotaInfo":{"remainingFraction":1}}})",
       "0.0/100 - now Models: a, b"},
      {R"({"a":{"displayName":7,"quotaInfo":{"remainingFraction":0.5}},"b":{"quotaInfo":{}}})",
       "50.0/100 - now Models: a, b"},
  };
  for (const auto& [models, want] : cases) {
    const auto quotas = antigravity::readAvailableModels(Json::parse(R"({"models":)" + models + "}"));
    EXPECT_EQ(summary(antigravity::makeUsageData(quotas, kNow)), want) << models;
  }
}

TEST(AntigravityService, AnswersAndFailures) {
  struct Case {  // second 0: never asked
    int first;
    std::string firstBody;
    int second;
    std::string secondBody, want;
  };
  const std::string empty = "0.0/0 - No quota models returned from Antigravity API.";
  const std::vector<Case> cases = {
      {200, R"({"code":7})", 0, "", "Antigravity API error: gRPC code 7"},
      {200, R"({"code":0})", 0, "", empty}, {200, R"({"models":{}})", 0, "", empty},
      {403, "", 200, R"({"buckets":{}})", empty}, {403, "", 200, R"({"code":7})", empty},
      {403, "", 403, "", "Antigravity API permission denied. Check IAM permissions."},
      {403, "", 401, "", "Invalid Antigravity credential. Provide a valid Google OAuth Bearer token."},
      {401, "", 0, "", "Invalid Antigravity credential. Provide a valid Google OAuth Bearer token."},
      {204, "", 0, "", "Antigravity API error 204"}, {0, "", 0, "", "Unexpected response from Antigravity API"},
      {200, "[]", 0, "", "Antigravity parse error: Invalid JSON response"},
      {200, "<html>", 0, "", "Antigravity parse error: Invalid JSON response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " " + c.firstBody + " then " + std::to_string(c.second));
    testing::ServiceWorld world(kNow);
    c.first == 0 ? world.transport.respondNotHTTP(kModels) : world.transport.respond(kModels, c.first, c.firstBody);
    if (c.second != 0) world.transport.respond(kQuota, c.second, c.secondBody);
    EXPECT_EQ(testing::outcomeOf([&] { return AntigravityService(world.context).fetchUsage("t"); }, summary), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.second != 0 ? 2u : 1u);
  }
}

}  // namespace
}  // namespace dapplewick
