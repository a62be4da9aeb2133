#include "providers/openrouter.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kCreditsURL = "https://openrouter.ai/api/v1/credits";
const std::string kKeyURL = "https://openrouter.ai/api/v1/key";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
const std::string kCredits = R"({"data":{"total_credits":50,"total_usage":12.5}})";

// The credits are required; the key is asked about only once they are known, and every failure of the key request
// selects the balance record, but a stop ends the fetch.
TEST(OpenRouterService, AsksForTheCreditsThenTheKey) {
  const std::string balance = "12.5/0 monthly cost 12.5 lifetime 'Balance: $37.5000 \u00B7 Lifetime spend: $12.5000'";
  const std::string quota = " cost 12.5 lifetime 'Key quota: $", left = " used \u00B7 Balance: $37.5000'";
  enum : int { kTimeout = 0, kStopped = -1 };  // key statuses: the request times out; a stop follows the credits
  struct Case {
    int creditsStatus = 200;
    std::string credits = kCredits;
    int keyStatus = 200;
    std::string key{}, want;
  };
  const Case cases[] = {
      {.key = R"({"data":{"limit":20,"limit_remaining":5,"usage":9}})",
       .want = "75/100 monthly" + quota + "15.0000 / $20.0000" + left},
      {.keyStatus = kTimeout, .want = balance},
      {.key = "{}", .want = balance},
      {.keyStatus = 402, .want = balance},
      {.key = R"({"data":{"limit":0}})", .want = balance},
      {.key = R"({"data":{"limit":1e308,"limit_remaining":-1e308}})", .want = balance},
      {.keyStatus = kStopped, .want = "The request was cancelled"},
      {.credits = R"({"data":{"total_credits":10,"total_usage":12}})",
       .keyStatus = 404,
       .want = "12/0 monthly cost 12 lifetime 'Balance: $0.0000 \u00B7 Lifetime spend: $12.0000'"},
      {.key = R"({"data":{"limit":20,"limit_remaining":25,"limit_reset":"2025-07-01T00:00:00Z"}})",
       .want = "0/100 monthly @2025-07-01T00:00:00Z" + quota + "0.0000 / $20.0000" + left},
      {.key = R"({"data":{"limit":20,"usage":30,"limit_reset":" 1751328000.5 "}})",
       .want = "100/100 monthly @2025-07-01T00:00:00.500Z" + quota + "20.0000 / $20.0000" + left},
      {.creditsStatus = 402, .want = "OpenRouter API error 402"},
      {.creditsStatus = 403, .want = "Invalid OpenRouter API key"},
      {.credits = R"({"data":{"total_credits":1e308,"total_usage":-1e308}})",
       .want = "Unexpected response from OpenRouter"},
  };
  const std::string headers =
      " ms)\nAuthorization: Bearer sk-or-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)\n";
  const std::string credits = "GET " + kCreditsURL + " (60000" + headers, key = "GET " + kKeyURL + " (1000" + headers;
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credits + " " + c.key);
    testing::ServiceWorld world(kNow, Provider::openRouter);
    world.transport.respond(kCreditsURL, c.creditsStatus, c.credits);
    if (c.keyStatus > 0) world.transport.respond(kKeyURL, c.keyStatus, c.key);
    if (c.keyStatus <= 0) world.transport.fail(kKeyURL, TransportError(TransportError::Kind::timeout, "t"));
    std::stop_source stop;
    if (c.keyStatus == kStopped) stop.request_stop();  // the transport here answers the credits all the same
    const auto fetch = [&] { return OpenRouterService(world.context).fetchUsage("api:  sk-or-1\n", stop.get_token()); };
    EXPECT_EQ(testing::outcomeOf(fetch, asText), c.want);
    std::string sent;
    for (const HTTPRequest& request : world.transport.requests()) sent += testing::requestText(request) + "\n";
    EXPECT_EQ(sent, credits + (c.creditsStatus == 200 && c.keyStatus != kStopped ? key : ""));
  }
}

}  // namespace
}  // namespace dapplewick
