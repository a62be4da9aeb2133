#include "providers/openrouter.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kCreditsURL = "https://openrouter.ai/api/v1/credits";
const std::string kKeyURL = "https://openrouter.ai/api/v1/key";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
const std::string kCredits = R"({"data":{"total_credits":50,"total_usage":12.5}})";

// "USED/LIMIT $COST SEMANTIC PERIOD [RESET] NOTE"
std::string summary(const UsageData& r) {
  return *formatDecimal(r.used, 4) + "/" + *formatDecimal(r.limit, 4) + " $" + *formatDecimal(r.cost, 4) + " " +
         std::string(caseName(r.costSemantic)) + " " + std::string(caseName(r.resetPeriod)) +
         (r.resetAt ? " " + formatRFC3339Millis(*r.resetAt) : "") + " " + *r.note;
}

// The credits are required; the key is asked about only once they are known, and every failure of the key request
// selects the balance record, but a stop ends the fetch.
TEST(OpenRouterService, AsksForTheCreditsThenTheKey) {
  const std::string balance = "12.5/0 $12.5 lifetime monthly Balance: $37.5000 \u00B7 Lifetime spend: $12.5000";
  const std::string quota = " lifetime monthly 2025-07-01T00:00:00.";  // a key quota with a reset
  struct Case {
    std::string key, want;
    int keyStatus = 200, creditsStatus = 200;  // key 0: the request times out; -1: a stop comes after the credits
    std::string credits = kCredits;
  };
  const Case cases[] = {
      {R"({"data":{"limit":20,"limit_remaining":5,"usage":9}})",
       "75/100 $12.5 lifetime monthly Key quota: $15.0000 / $20.0000 used \u00B7 Balance: $37.5000"},
      {"", balance, 0}, {"{}", balance}, {"", balance, 402}, {R"({"data":{"limit":0}})", balance},
      {R"({"data":{"limit":1e308,"limit_remaining":-1e308}})", balance}, {"", "The request was cancelled", -1},
      {"", "12/0 $12 lifetime monthly Balance: $0.0000 \u00B7 Lifetime spend: $12.0000", 404, 200,
       R"({"data":{"total_credits":10,"total_usage":12}})"},
      {R"({"data":{"limit":20,"limit_remaining":25,"limit_reset":"2025-07-01T00:00:00Z"}})",
       "0/100 $12.5" + quota + "000Z Key quota: $0.0000 / $20.0000 used \u00B7 Balance: $37.5000"},
      {R"({"data":{"limit":20,"usage":30,"limit_reset":" 1751328000.5 "}})",
       "100/100 $12.5" + quota + "500Z Key quota: $20.0000 / $20.0000 used \u00B7 Balance: $37.5000"},
      {"", "OpenRouter API error 402", 200, 402}, {"", "Invalid OpenRouter API key", 200, 403},
      {"", "Unexpected response from OpenRouter", 200, 200, R"({"data":{"total_credits":1e308,"total_usage":-1e308}})"},
  };
  const std::string headers =
      " ms)\nAuthorization: Bearer sk-or-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)\n";
  const std::string credits = "GET " + kCreditsURL + " (60000" + headers, key = "GET " + kKeyURL + " (1000" + headers;
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::openRouter);
    world.transport.respond(kCreditsURL, c.creditsStatus, c.credits);
    if (c.keyStatus <= 0) world.transport.fail(kKeyURL, TransportError(TransportError::Kind::timeout, "t"));
    if (c.keyStatus > 0) world.transport.respond(kKeyURL, c.keyStatus, c.key);
    std::stop_source stop;
    if (c.keyStatus < 0) stop.request_stop();  // the transport here answers the credits all the same
    const auto fetch = [&] { return OpenRouterService(world.context).fetchUsage("api:  sk-or-1\n", stop.get_token()); };
    EXPECT_EQ(testing::outcomeOf(fetch, summary), c.want) << c.credits << c.key;
    std::string sent;
    for (const HTTPRequest& request : world.transport.requests()) sent += testing::requestText(request) + "\n";
    EXPECT_EQ(sent, credits + (c.creditsStatus == 200 && c.keyStatus >= 0 ? key : ""));
  }
}

}  // namespace
}  // namespace dapplewick
