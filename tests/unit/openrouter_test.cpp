#include "providers/openrouter.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kCreditsURL = "https://openrouter.ai/api/v1/credits";
const std::string kKeyURL = "https://openrouter.ai/api/v1/key";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
const std::string kCredits = R"({"data":{"total_credits":50,"total_usage":12.5}})";
const std::string kBalance = "12.5 / 0 $12.5 lifetime Balance: $37.5000 \u00B7 Lifetime spend: $12.5000";

std::string keyBody(const std::string& data) { return R"({"data":{)" + data + "}}"; }

std::string summary(const UsageData& record) {
  return *formatDecimal(record.used, 4, false) + " / " + *formatDecimal(record.limit, 4, false) + " $" +
         *formatDecimal(record.cost, 4, false) + " " + std::string(caseName(record.costSemantic)) +
         (record.resetAt ? " " + formatRFC3339Millis(*record.resetAt) : "") + " " + record.note.value_or("");
}

TEST(OpenRouterService, SendsTheCreditsThenTheKeyRequest) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kCreditsURL, 200, kCredits);
  world.transport.respond(kKeyURL, 200, keyBody(R"("limit":20,"limit_remaining":5,"usage":9)"));
  const UsageData record = OpenRouterService(world.context).fetchUsage("api:  sk-or-1\n");
  EXPECT_EQ(summary(record), "75 / 100 $12.5 lifetime Key quota: $15.0000 / $20.0000 used \u00B7 Balance: $37.5000");
  EXPECT_EQ(record.resetPeriod, ResetPeriod::monthly);
  const std::string headers =
      "\nAuthorization: Bearer sk-or-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_EQ(testing::requestText(world.transport.requests()[0]), "GET " + kCreditsURL + " (60000 ms)" + headers);
  EXPECT_EQ(testing::requestText(world.transport.requests()[1]), "GET " + kKeyURL + " (1000 ms)" + headers);
}

TEST(OpenRouterService, TheCreditsAreRequiredAndEveryKeyFailureSelectsTheBalance) {
  constexpr int kTimesOut = -1;
  struct Case {
    int creditsStatus;  // 0: an answer that is not HTTP
    std::string credits;
    int keyStatus;
    std::string key, want;
  };
  const std::vector<Case> cases = {
      {200, kCredits, kTimesOut, "", kBalance},
      {200, kCredits, 402, keyBody(R"("limit":20)"), kBalance},
      {200, kCredits, 200, "{}", kBalance},
      {200, kCredits, 200, keyBody(R"("limit":"20","usage":1)"), kBalance},  // a number sent as text
      {200, kCredits, 200, keyBody(R"("limit":0,"usage":1)"), kBalance},
      // Spent beyond what a double holds.
      {200, kCredits, 200, keyBody(R"("limit":1e308,"limit_remaining":-1e308)"), kBalance},
      {200, R"({"data":{"total_credits":10,"total_usage":12}})", 404, "",
       "12 / 0 $12 lifetime Balance: $0.0000 \u00B7 Lifetime spend: $12.0000"},
      {200, kCredits, 200, keyBody(R"("limit":20,"limit_remaining":25,"limit_reset":"2025-07-01T00:00:00Z")"),
       "0 / 100 $12.5 lifetime 2025-07-01T00:00:00.000Z Key quota: $0.0000 / $20.0000 used \u00B7 Balance: $37.5000"},
      {200, kCredits, 200, keyBody(R"("limit":20,"usage":30,"limit_reset":" 1751328000.5 ")"),
       "100 / 100 $12.5 lifetime 2025-07-01T00:00:00.500Z Key quota: $20.0000 / $20.0000 used \u00B7 Balance: "
       "$37.5000"},
      {200, kCredits, 200, keyBody(R"("limit":20,"limit_reset":"1e300")"),
       "0 / 100 $12.5 lifetime Key quota: $0.0000 / $20.0000 used \u00B7 Balance: $37.5000"},
      {402, kCredits, 200, "", "OpenRouter API error 402"},
      {403, kCredits, 200, "", "Invalid OpenRouter API key"},
      {0, kCredits, 200, "", "Unexpected response from OpenRouter"},
      {200, R"({"data":{"total_credits":50,"total_usage":"12.5"}})", 200, "",
       "expected a number at \"data.total_usage\""},
      {200, R"({"data":{"total_credits":1e308,"total_usage":-1e308}})", 200, "", "Unexpected response from OpenRouter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credits + " " + c.key);
    testing::ServiceWorld world(kNow);
    if (c.creditsStatus == 0) world.transport.respondNotHTTP(kCreditsURL);
    if (c.creditsStatus != 0) world.transport.respond(kCreditsURL, c.creditsStatus, c.credits);
    if (c.keyStatus == kTimesOut) world.transport.fail(kKeyURL, TransportError(TransportError::Kind::timeout, "t"));
    if (c.keyStatus != kTimesOut) world.transport.respond(kKeyURL, c.keyStatus, c.key);
    EXPECT_EQ(testing::outcomeOf([&] { return OpenRouterService(world.context).fetchUsage("k"); }, summary), c.want);
    // The key is asked about only once the credits are known.
    if (c.creditsStatus != 200) {
      EXPECT_EQ(world.transport.requestsTo(kKeyURL).size(), 0u);
    }
  }
}

TEST(OpenRouterService, AStopDuringTheKeyRequestEndsTheFetch) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kCreditsURL, 200, kCredits);
  world.transport.handle(kKeyURL, testing::blockUntilCancelled());
  testing::DelayedStop stop(20ms);
  EXPECT_EQ(testing::errorText([&] { OpenRouterService(world.context).fetchUsage("k", stop.token()); }), "cancelled");
}

}  // namespace
}  // namespace dapplewick
