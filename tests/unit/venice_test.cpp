#include "providers/venice.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.venice.ai/api/v1/billing/balance";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string outcome(int status, const std::string& body) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, status, body);
  return testing::outcomeOf([&] { return VeniceService(world.context).fetchUsage("api: vk-1\n"); },
                            [](const UsageData& data) {
                              return formatFixed(data.used, 1) + "/" + formatFixed(data.limit, 0) + " " + *data.note;
                            });
}

TEST(VeniceService, SendsTheBalanceRequest) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200, R"({"canConsume":true,"balances":{"usd":2}})");
  UsageData want = UsageData::blank(Provider::venice);
  want.lastUpdated = kNow;
  want.note = "$2.0000 USD remaining";
  EXPECT_EQ(VeniceService(world.context).fetchUsage("api: vk-1\n"), want);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL + " (60000 ms)\nAuthorization: Bearer vk-1\nAccept: application/json\n"
            "User-Agent: Dapplewick/1.0\n\n(no body)");
}

// The first rule that applies wins: no consumption, US dollars as the currency, a DIEM allocation, a DIEM
// balance, a US dollar balance, nothing.
TEST(VeniceService, RulesInOrderAndLenientFigures) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"canConsume":false,"balances":{"diem":50,"usd":10}})", "100.0/100 Balance unavailable for API calls"},
      {R"({"canConsume":true,"consumptionCurrency":"usd","balances":{"diem":50,"usd":12.5},)"
       R"("diemEpochAllocation":100})", "0.0/0 $12.5000 USD remaining"},
      {R"({"canConsume":true,"consumptionCurrency":"usd","balances":{"diem":50,"usd":0},)"
       R"("diemEpochAllocation":100})", "50.0/100 DIEM 50.00 / 100.00 epoch allocation"},
      {R"({"canConsume":true,"consumptionCurrency":"DIEM","balances":{"diem":" 150 ","usd":5},)"
       R"("diemEpochAllocation":"100"})", "0.0/100 DIEM 150.00 / 100.00 epoch allocation"},
      {R"({"canConsume":true,"balances":{"diem":0,"usd":5},"diemEpochAllocation":100})",
       "100.0/100 DIEM 0.00 / 100.00 epoch allocation"},
      {R"({"canConsume":true,"balances":{"diem":"7.5","usd":5},"diemEpochAllocation":0})", "0.0/0 DIEM 7.50 remaining"},
      {R"({"canConsume":true,"consumptionCurrency":null,"balances":{"diem":"n/a","usd":"3"}})",
       "0.0/0 $3.0000 USD remaining"},
      // No figure is ever NaN or infinite: such texts, and booleans, are no figures.
      {R"({"canConsume":true,"balances":{"diem":"nan","usd":"inf"},"diemEpochAllocation":true})",
       "100.0/100 No Venice API balance available"},
      {R"({"canConsume":true,"balances":{"diem":"0x10","usd":-1}})", "100.0/100 No Venice API balance available"},
      {R"({"canConsume":true})", "missing key \"balances\""},
      {R"({"canConsume":"yes","balances":{}})", "expected a boolean at \"canConsume\""},
      {R"({"canConsume":true,"consumptionCurrency":1,"balances":{}})", "expected a string at \"consumptionCurrency\""},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(outcome(200, body), want) << body;
  EXPECT_EQ(outcome(403, ""), "Invalid Venice API key");
  EXPECT_EQ(outcome(429, ""), "Venice API error 429");
}

}  // namespace
}  // namespace dapplewick
