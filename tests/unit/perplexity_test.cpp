#include "providers/perplexity.hpp"

#include <gtest/gtest.h>

#include "providers/shared/user_agents.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://www.perplexity.ai/rest/billing/credits?version=2.18&source=default";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};

std::string body(const std::string& grants, const std::string& usage = "4200") {
  return R"({"balance_cents":10800,"renewal_date_ts":1751328000,"current_period_purchased_cents":0,"credit_grants":[)" +
         grants + R"(],"total_usage_cents":)" + usage + "}";
}
std::string grant(const std::string& cents, const std::string& type = "recurring") {
  return R"({"type":")" + type + R"(","amount_cents":)" + cents + "}";
}

TEST(PerplexityService, SendsTheSessionCookieAndMapsEveryAnswer) {
  const std::string sent = "GET " + kURL +
                           " (60000 ms)\nAccept: application/json\nCookie: __Secure-next-auth.session-"
                           "token=tok-1\nOrigin: https://www.perplexity.ai\nReferer: https://www.perplexity.ai/account/"
                           "usage\nUser-Agent: " +
                           std::string(kChrome143UserAgent) + "\n\n(no body)";
  const std::tuple<int, std::string, std::string> cases[] = {
      {200, body(grant("10000") + "," + grant("500", "bonus") + "," + grant("5000")),
       "4200/15000 monthly @2025-07-01T00:00:00Z 'Balance: 108 credits'"},
      {200, body(grant("4000")), "4000/4000 monthly @2025-07-01T00:00:00Z 'Balance: 108 credits'"},
      // Only "recurring" in exactly that case counts.
      {200, body(grant("1", "Recurring")),
       "0/0 monthly @2025-07-01T00:00:00Z cost 42 periodCumulative 'Balance: 108.00 USD'"},
      // Grants that add up to more than a double holds.
      {200, body(grant("1e308") + "," + grant("1e308")), "Unexpected response from Perplexity"},
      {200, body(R"({"type":"recurring"})"), "missing key \"credit_grants[0].amount_cents\""},
      {402, "", "Perplexity API error 402"},
      {401, "", "Invalid Perplexity session token"},
  };
  const auto asText = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& [status, json, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::perplexity);
    world.transport.respond(kURL, status, json);
    EXPECT_EQ(testing::outcomeOf([&] { return PerplexityService(world.context).fetchUsage("web: tok-1\n"); }, asText),
              want)
        << json;
    EXPECT_EQ(testing::requestText(world.transport.requests().at(0)), sent);
  }
  // A whole cookie header goes as it is; the origin comes from the context, port and all.
  EXPECT_EQ(perplexity::cookieHeader("a=1") + perplexity::cookieHeader("x;y"), "a=1x;y");
  EXPECT_EQ(perplexity::creditsRequest("http://h:8", "t").headers.get("Referer"), "http://h:8/account/usage");
}

}  // namespace
}  // namespace dapplewick
