#include "providers/synthetic.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.synthetic.new/v2/quotas";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
const std::string kNoQuota = "Failed to parse Synthetic response: No quota data found in response";

using testing::kNotHTTP;

TEST(SyntheticService, SendsTheKeyAndReadsTheRollingLimit) {
  testing::ServiceWorld world(kNow, Provider::synthetic);
  world.transport.respond(kURL, 200,
                          R"({"plan":" ","planName":" Pro ","weeklyTokenLimit":{"percentUsed":0.9},)"
                          R"("rollingFiveHourLimit":{"percentUsed":0.42,"resetAt":"2026-01-01T00:00:00Z"}})");
  const UsageData record = SyntheticService(world.context).fetchUsage("api:syn_key\n");
  EXPECT_EQ(testing::recordText(record), "42/100 window @2026-01-01T00:00:00Z 'Plan: Pro'");
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL + " (60000 ms)\nAuthorization: Bearer syn_key\nAccept: application/json\n\n(no body)");
}

TEST(SyntheticService, StatusesEntryChoicePercentagesAndDates) {
  const std::string longText(300, 'b');
  struct Case {
    std::string body, want;
    int status = 200;
  };
  const std::vector<Case> cases = {
      {"", "Invalid Synthetic API credentials", 401},
      {"", "Unexpected response from Synthetic API", kNotHTTP},
      {longText, "Synthetic API error: HTTP 500: " + longText.substr(0, 200), 500},
      {"\xFF", "Synthetic API error: HTTP 201: ", 201},
      {"{\"quotas\":", "Failed to parse Synthetic response: Invalid JSON"},
      {"42", "Failed to parse Synthetic response: Invalid JSON"},
      {R"({"weeklyTokenLimit":{"limit":1000,"remaining":250},"data":{"rollingFiveHourLimit":{"used":1,"limit":4}}})",
       "25/100 window"},
      // The root's key decides even when its value is no entry.
      {R"({"rollingFiveHourLimit":null,"data":{"rollingFiveHourLimit":{"used":1,"limit":4}},)"
       R"("weeklyTokenLimit":{"limit":1000,"remaining":250}})",
       "75/100 weekly"},
      {R"({"quotas":[{"name":"x"},{"used":30,"limit":120,"renewAt":1767225600000}]})",
       "25/100 monthly @2026-01-01T00:00:00Z"},
      {R"([{"usagePercent":50},{"percent":0.3,"percentUsed":"NaN"}])", "30/100 monthly"},
      {R"({"quota":{"usagePercent":50}})", kNoQuota},
      {R"({"quota":null,"limits":[{"used":1,"limit":2}]})", kNoQuota},
      {R"({"data":{"used":3,"limit":4}})", "75/100 monthly"},
      // Stated percentages pass unclamped; figures are capped at 100 from above only.
      {R"([{"percentUsed":1}])", "100/100 monthly"},
      {R"([{"percentUsed":1.5}])", "1.5/100 monthly"},
      {R"([{"percent":150}])", "150/100 monthly"},
      {R"([{"percentRemaining":0.3}])", "70/100 monthly"},
      {R"([{"remainingPercent":130}])", "-30/100 monthly"},
      {R"([{"used":50,"balance":150}])", "25/100 monthly"},
      {R"([{"limit":0,"used":5}])", "0/100 monthly"},
      {R"([{"limit":100,"used":500}])", "100/100 monthly"},
      {R"([{"limit":100,"left":150}])", "-50/100 monthly"},
      {R"([{"limit":"1e-300","used":1e300}])", "0/100 monthly"},  // no finite percentage
      {R"([{"percentUsed":-1e307}])", "0/100 monthly"},
      {R"([{"used":true,"limit":2,"spent":" 1"}])", "0/100 monthly"},
      // A reset value that gives no date lets the next key be tried.
      {R"([{"used":1,"limit":2,"resetAt":999,"reset_at":1e15,"resetsAt":"1767225600"}])",
       "50/100 monthly @2026-01-01T00:00:00Z"},
      {R"([{"used":1,"limit":2,"resetAt":true,"expires_at":"2026-01-01T00:00:00.5Z"}])",
       "50/100 monthly @2026-01-01T00:00:00.500Z"},
      {R"([{"used":1,"limit":2,"resetAt":" 1767225600"}])", "50/100 monthly"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 120));
    testing::ServiceWorld world(kNow, Provider::synthetic);
    if (c.status == kNotHTTP) world.transport.respondNotHTTP(kURL);
    if (c.status != kNotHTTP) world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::outcomeOf([&] { return SyntheticService(world.context).fetchUsage("syn_key"); },
                                 [](const UsageData& r) { return testing::recordText(r); }),
              c.want);
  }
}

}  // namespace
}  // namespace dapplewick
