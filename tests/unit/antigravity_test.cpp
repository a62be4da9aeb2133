#include "providers/antigravity.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const Timestamp kNow{std::chrono::milliseconds{1'765'000'000'000}};
const std::string kModels = "https://cloudcode-pa.googleapis.com/v1internal:fetchAvailableModels";
const std::string kQuota = "https://cloudcode-pa.googleapis.com/v1internal:retrieveUserQuota";
using testing::kNotHTTP;

std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

// The model list, and the user quota after a 403 on it. The most constrained model is reported (an absent
// fraction counts as 1, the first wins a tie); the note names the first three models in document order.
TEST(AntigravityService, PostsAnEmptyObjectAndReadsTheMostConstrainedModel) {
  struct Case {  // the model list's answer, the user quota's (no status: never asked), the outcome
    int modelsStatus = 200;
    std::string models = "";
    std::optional<int> quotaStatus = {};
    std::string quota = "", want;
  };
  const auto list = [](const std::string& models) { return R"({"models":)" + models + "}"; };
  const std::string empty = "0/0 monthly 'No quota models returned from Antigravity API.' not updated";
  const std::string badToken = "Invalid Antigravity credential. Provide a valid Google OAuth Bearer token.";
  const std::vector<Case> cases = {
      {.modelsStatus = 403,
       .quotaStatus = 200,
       .quota = R"({"buckets":[{"modelId":"gemini-pro","remainingFraction":0.9,)"
                R"("resetTime":"2025-01-31T17:00:00.250Z"},{"remainingFraction":0.1},"x"]})",
       .want = "10/100 monthly @2025-01-31T17:00:00.250Z 'Models: gemini-pro'"},
      {.models = list(R"({"z":{"displayName":"Zeta","label":"z","quotaInfo":{"remainingFraction":0.25,)"
                      R"("resetTime":"2025-01-31T17:00:00Z"}}})"),
       .want = "75/100 monthly @2025-01-31T17:00:00Z 'Models: Zeta'"},
      {.models = list(R"({"b":{"label":"B","quotaInfo":{"remainingFraction":0.5}},"a":{"quotaInfo":)"
                      R"({"remainingFraction":0.5,"resetTime":"2025-02-01"}},"c":{"quotaInfo":{}},)"
                      R"("d":{"quotaInfo":{"remainingFraction":0.6}},"e":{"quotaInfo":{"remainingFraction":0.7}}})"),
       .want = "50/100 monthly 'Models: B, a, c'"},
      {.models = list(R"({"a":{"displayName":7,"quotaInfo":{"remainingFraction":1.4}},"b":{"quotaInfo":"x"},"c":[]})"),
       .want = "0/100 monthly 'Models: a'"},
      {.models = list(R"({"a":{"quotaInfo":{"remainingFraction":-0.2}}})"), .want = "100/100 monthly 'Models: a'"},
      {.models = list(R"({"a":{"quotaInfo":{"remainingFraction":"0.1"}},"b":{"quotaInfo":{"remainingFraction":1}}})"),
       .want = "0/100 monthly 'Models: a, b'"},
      {.models = R"({"code":7})", .want = "Antigravity API error: gRPC code 7"},
      {.models = R"({"code":0})", .want = empty},
      {.models = list("{}"), .want = empty},
      {.modelsStatus = 403, .quotaStatus = 200, .quota = R"({"buckets":{}})", .want = empty},
      {.modelsStatus = 403, .quotaStatus = 200, .quota = R"({"code":7})", .want = empty},
      {.modelsStatus = 403, .quotaStatus = 403, .want = "Antigravity API permission denied. Check IAM permissions."},
      {.modelsStatus = 403, .quotaStatus = 401, .want = badToken},
      {.modelsStatus = 401, .want = badToken},
      {.modelsStatus = 204, .want = "Antigravity API error 204"},
      {.modelsStatus = kNotHTTP, .want = "Unexpected response from Antigravity API"},
      {.models = "[]", .want = "Antigravity parse error: Invalid JSON response"},
      {.models = "<html>", .want = "Antigravity parse error: Invalid JSON response"},
  };
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer ya29.tok\nContent-Type: application/json\nUser-Agent: antigravity\n\n{}";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.modelsStatus) + " " + c.models + " then " + c.quota);
    testing::ServiceWorld world(kNow, Provider::antigravity);
    c.modelsStatus == kNotHTTP ? world.transport.respondNotHTTP(kModels)
                               : world.transport.respond(kModels, c.modelsStatus, c.models);
    if (c.quotaStatus) world.transport.respond(kQuota, *c.quotaStatus, c.quota);
    const auto fetch = [&] { return AntigravityService(world.context).fetchUsage("api:ya29.tok\n"); };
    EXPECT_EQ(testing::outcomeOf(fetch, show), c.want);
    const auto sent = world.transport.requests();
    ASSERT_EQ(sent.size(), c.quotaStatus ? 2u : 1u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(testing::requestText(sent[i]), "POST " + (i == 0 ? kModels : kQuota) + rest);
    }
  }
}

}  // namespace
}  // namespace dapplewick
