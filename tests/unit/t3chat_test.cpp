#include "providers/t3chat.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL =
    "https://t3.chat/api/trpc/getCustomerData?batch=1&input=%7B%220%22:%7B%22json%22:%7B%22sessionId%22:null%7D,"
    "%22meta%22:%7B%22values%22:%7B%22sessionId%22:%5B%22undefined%22%5D%7D%7D%7D%7D";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string outcome(int status, const std::string& body) {
  testing::ServiceWorld world(kNow, Provider::t3Chat);
  world.transport.respond(kURL, status, body);
  return testing::outcomeOf([&] { return T3ChatService(world.context).fetchUsage("web:a=1; b=2\n"); },
                            [](const UsageData& r) { return testing::recordText(r); });
}

TEST(T3ChatService, SendsTheSitesOwnBatchRequestAndReadsTheFirstLineHoldingCustomerData) {
  testing::ServiceWorld world(kNow, Provider::t3Chat);
  world.transport.respond(kURL, 200,
                          R"({"json":{"usageFourHourPercentage":42.5,"usageMonthPercentage":10,)"
                          R"("subscription":{"currentPeriodEnd":1769904000000}}})");
  EXPECT_EQ(testing::recordText(T3ChatService(world.context).fetchUsage("web:a=1; b=2\n")),
            "42.5/100 window + 10/100 monthly @2026-02-01T00:00:00Z 'Overage'");
  EXPECT_EQ(
      testing::requestText(world.transport.requests().at(0)),
      "GET " + kURL +
          " (60000 ms)\nAccept: */*\ntrpc-accept: application/jsonl\nx-trpc-source: web-client\n"
          "x-trpc-batch: true\nAccept-Language: en-US,en;q=0.9\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X "
          "10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 Safari/537.36\n"
          "Referer: https://t3.chat/settings/customization\nSec-Fetch-Site: same-origin\n"
          "Origin: https://t3.chat\nCookie: a=1; b=2\n\n(no body)");
  const std::string deep = std::string(300, '[') + R"({"usageMonthPercentage":99})" + std::string(300, ']');
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Every Unicode line end splits; lines that are no JSON object or list are passed over.
      {"{\"a\":1}\r\n\"usageMonthPercentage\"\v7\f{\"usageMonthPercentage\":1}", "1/100 monthly"},
      {"x\u0085x\u2028x\u2029[{\"usageMonthPercentage\":2}]\n{\"usageMonthPercentage\":3}", "2/100 monthly"},
      // Searched depth first in document order; presence counts, null included.
      {R"({"0":{"json":[{"x":{"usageBand":"a"}},{"y":[{"subscription":null,"usageBand":" Heavy "}]}]}})",
       "0/100 monthly 'Usage band: Heavy'"},
      {R"({"a":{"usageFourHourPercentage":null,"usageFourHourNextResetAt":0,"usageWindowNextResetAt":1767225600,)"
       R"("b":{"usageMonthPercentage":50}}})",
       "0/100 monthly"},
      // A line nested past the depth bound is passed over like any line that is not JSON.
      {deep + "\n" + R"({"usageFourHourPercentage":"12.5"})", "12.5/100 window"},
      // Figures: whole decimal texts only, clamped to 0-100; the month falls back to the period's. No figure is
      // ever NaN or infinite, and booleans are no figures.
      {R"({"usageFourHourPercentage":130,"usageMonthPercentage":-5,"usageFourHourNextResetAt":1e17})",
       "100/100 window + 0/100 monthly 'Overage'"},
      {R"({"usageFourHourPercentage":" 12.5","usageMonthPercentage":null,"usagePeriodPercentage":"30"})",
       "30/100 monthly"},
      {R"({"usageFourHourPercentage":true,"usageMonthPercentage":"nan","usagePeriodPercentage":"1e999",)"
       R"("subTier":" Pro ","usageBand":" "})",
       "0/100 monthly 'Plan: Pro'"},
      // The month's own end may come as a numeric text too, and goes with the overage alone.
      {R"({"usageFourHourPercentage":5,"usageMonthPercentage":20,"subscription":{"currentPeriodEnd":"1769904000"}})",
       "5/100 window + 20/100 monthly @2026-02-01T00:00:00Z 'Overage'"},
      {R"({"usageFourHourPercentage":5,"usageMonthPercentage":20,"subscription":{"currentPeriodEnd":" 1769904000"}})",
       "5/100 window + 20/100 monthly 'Overage'"},
      // Resets: seconds, milliseconds above 1e10, none at 0 or beyond the year 9999; the window's first.
      {R"({"usageFourHourPercentage":1,"usageFourHourNextResetAt":1767225600})", "1/100 window @2026-01-01T00:00:00Z"},
      {R"({"usageMonthPercentage":1,"usageFourHourNextResetAt":"x","usageWindowNextResetAt":1767225600000})",
       "1/100 monthly @2026-01-01T00:00:00Z"},
      {"", "Unexpected response from T3 Chat"},
      {"\xff{\"usageMonthPercentage\":1}", "Unexpected response from T3 Chat"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(outcome(200, body), want) << body.substr(0, 120);
  EXPECT_EQ(outcome(403, ""), "Invalid T3 Chat session cookie");
  EXPECT_EQ(outcome(502, ""), "T3 Chat API error 502");
}

}  // namespace
}  // namespace dapplewick
