#include "providers/venice.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://api.venice.ai/api/v1/billing/balance";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string outcome(int status, const std::string& body) {
  testing::ServiceWorld world(kNow, Provider::venice);
  world.transport.respond(kURL, status, body);
  return testing::outcomeOf([&] { return VeniceService(world.context).fetchUsage("api: vk-1\n"); },
                            [](const UsageData& r) { return testing::recordText(r); });
}

// A consuming answer from raw JSON values: the currency (c), the DIEM (d) and dollar (u) balances, the DIEM
// allocation (a).
std::string ok(const std::string& c, const std::string& d, const std::string& u, const std::string& a = "null") {
  return R"({"canConsume":true,"consumptionCurrency":)" + c + R"(,"balances":{"diem":)" + d + R"(,"usd":)" + u +
         R"(},"diemEpochAllocation":)" + a + "}";
}

// The first rule that applies wins: no consumption, US dollars as the currency, a DIEM allocation, a DIEM
// balance, a US dollar balance, nothing. No figure is ever NaN or infinite, and booleans are no figures.
TEST(VeniceService, SendsTheBalanceRequestAndAppliesTheRulesInOrder) {
  testing::ServiceWorld world(kNow, Provider::venice);
  world.transport.respond(kURL, 200, ok("null", "true", R"("2")"));
  UsageData want = UsageData::blank(Provider::venice);
  want.lastUpdated = kNow;
  want.note = "$2.0000 USD remaining";
  EXPECT_EQ(VeniceService(world.context).fetchUsage("api: vk-1\n"), want);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL +
                " (60000 ms)\nAuthorization: Bearer vk-1\nAccept: application/json\n"
                "User-Agent: Dapplewick/1.0\n\n(no body)");
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {200, R"({"canConsume":false,"balances":{"diem":50,"usd":10}})",
       "100/100 monthly 'Balance unavailable for API calls'"},
      {200, ok(R"("usd")", "50", "12.5", "100"), "0/0 monthly '$12.5000 USD remaining'"},
      {200, ok(R"("usd")", "0", "0", "100"), "100/100 monthly 'DIEM 0.00 / 100.00 epoch allocation'"},
      {200, ok(R"("DIEM")", R"(" 150 ")", "5", R"("100")"), "0/100 monthly 'DIEM 150.00 / 100.00 epoch allocation'"},
      {200, ok("null", R"("7.5")", "5", "0"), "0/0 monthly 'DIEM 7.50 remaining'"},
      {200, ok("null", R"("inf")", "-1", R"("nan")"), "100/100 monthly 'No Venice API balance available'"},
      {200, R"({"canConsume":true})", "missing key \"balances\""},
      {200, R"({"canConsume":"yes","balances":{}})", "expected a boolean at \"canConsume\""},
      {200, ok("1", "0", "0"), "expected a string at \"consumptionCurrency\""},
      {403, "", "Invalid Venice API key"},
      {429, "", "Venice API error 429"},
  };
  for (const auto& [status, body, text] : cases) EXPECT_EQ(outcome(status, body), text) << body;
}

}  // namespace
}  // namespace dapplewick
