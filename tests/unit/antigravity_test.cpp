#include "providers/antigravity.hpp"

#include <gtest/gtest.h>

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

// The model list, and the user quota after a 403 on it. The most constrained model is reported (an absent
// fraction counts as 1, the first wins a tie); the note names the first three models in document order.
TEST(AntigravityService, PostsAnEmptyObjectAndReadsTheMostConstrainedModel) {
  struct Case { int first; std::string firstBody; int second; std::string secondBody, want; };
  const auto models = [](const std::string& list) { return R"({"models":)" + list + "}"; };
  const std::string empty = "0.0/0 - No quota models returned from Antigravity API.";
  const std::string badToken = "Invalid Antigravity credential. Provide a valid Google OAuth Bearer token.";
  const std::vector<Case> cases = {  // first 0: no HTTP answer; second 0: never asked
      {403, "", 200, R"({"buckets":[{"modelId":"gemini-pro","remainingFraction":0.9,)"
                     R"("resetTime":"2025-01-31T17:00:00.250Z"},{"remainingFraction":0.1},"x"]})",
       "10.0/100 2025-01-31T17:00:00Z now Models: gemini-pro"},
      {200, models(R"({"z":{"displayName":"Zeta","label":"z","quotaInfo":{"remainingFraction":0.25,)"
                   R"("resetTime":"2025-01-31T17:00:00Z"}}})"),
       0, "", "75.0/100 2025-01-31T17:00:00Z now Models: Zeta"},
      {200, models(R"({"b":{"label":"B","quotaInfo":{"remainingFraction":0.5}},"a":{"quotaInfo":)"
                   R"({"remainingFraction":0.5,"resetTime":"2025-02-01"}},"c":{"quotaInfo":{}},)"
                   R"("d":{"quotaInfo":{"remainingFraction":0.6}},"e":{"quotaInfo":{"remainingFraction":0.7}}})"),
       0, "", "50.0/100 - now Models: B, a, c"},
      {200, models(R"({"a":{"displayName":7,"quotaInfo":{"remainingFraction":1.4}},"b":{"quotaInfo":"x"},"c":[]})"),
       0, "", "0.0/100 - now Models: a"},
      {200, models(R"({"a":{"quotaInfo":{"remainingFraction":-0.2}}})"), 0, "", "100.0/100 - now Models: a"},
      {200, models(R"({"a":{"quotaInfo":{"remainingFraction":"0.1"}},"b":{"quotaInfo":{"remainingFraction":1}}})"),
       0, "", "0.0/100 - now Models: a, b"},
      {200, R"({"code":7})", 0, "", "Antigravity API error: gRPC code 7"},
      {200, R"({"code":0})", 0, "", empty}, {200, models("{}"), 0, "", empty},
      {403, "", 200, R"({"buckets":{}})", empty}, {403, "", 200, R"({"code":7})", empty},
      {403, "", 403, "", "Antigravity API permission denied. Check IAM permissions."},
      {403, "", 401, "", badToken}, {401, "", 0, "", badToken},
      {204, "", 0, "", "Antigravity API error 204"}, {0, "", 0, "", "Unexpected response from Antigravity API"},
      {200, "[]", 0, "", "Antigravity parse error: Invalid JSON response"},
      {200, "<html>", 0, "", "Antigravity parse error: Invalid JSON response"},
  };
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer ya29.tok\nContent-Type: application/json\nUser-Agent: antigravity\n\n{}";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " " + c.firstBody + " then " + std::to_string(c.second));
    testing::ServiceWorld world(kNow, Provider::antigravity);
    c.first ? world.transport.respond(kModels, c.first, c.firstBody) : world.transport.respondNotHTTP(kModels);
    if (c.second != 0) world.transport.respond(kQuota, c.second, c.secondBody);
    const auto fetch = [&] { return AntigravityService(world.context).fetchUsage("api:ya29.tok\n"); };
    EXPECT_EQ(testing::outcomeOf(fetch, summary), c.want);
    const auto sent = world.transport.requests();
    ASSERT_EQ(sent.size(), c.second != 0 ? 2u : 1u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(testing::requestText(sent[i]), "POST " + (i == 0 ? kModels : kQuota) + rest);
    }
  }
}

}  // namespace
}  // namespace dapplewick
