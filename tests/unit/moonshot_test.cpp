#include "providers/moonshot.hpp"

#include <gtest/gtest.h>

#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kInternationalURL = "https://api.moonshot.ai/v1/users/me/balance";
const std::string kChinaURL = "https://api.moonshot.cn/v1/users/me/balance";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string balance(const std::string& available, const std::string& cash, const std::string& tail) {
  return R"({"code":0,"data":{"available_balance":)" + available + R"(,"voucher_balance":0,"cash_balance":)" + cash +
         R"(},"scode":"0x0")" + tail + "}";
}

// Only a rejected key goes on to the China host; any other failure of the first host is final.
TEST(MoonshotService, AsksTheChinaHostOnlyForARejectedKey) {
  struct Case {
    int status;  // 0: an answer that is not HTTP
    std::string body;
    int chinaStatus;  // -1: never asked
    std::string want;
  };
  const std::vector<Case> cases = {
      {401, "", 200, "12.50/0 none monthly Balance: $12.5000"},
      {200, balance("3", "-1.25", R"(,"status":true)"), -1,
       "3.00/0 none monthly Balance: $3.0000 \u00B7 $1.2500 in deficit"},
      {403, "", 403, "Invalid Moonshot API key"},
      {500, "", -1, "Moonshot API error 500"},
      {0, "", -1, "Unexpected response from Moonshot"},
      {200, R"({"code":5,"data":{"available_balance":1,"voucher_balance":0,"cash_balance":1},"scode":"x",)"
            R"("status":true})", -1, "Moonshot API error 5"},
      {200, balance("1", "1", R"(,"status":false)"), -1, "Moonshot API error 0"},
      {200, balance("1", "1", ""), -1, "missing key \"status\""},
      {200, R"({"code":0,"data":{"available_balance":"1"}})", -1, "expected a number at \"data.available_balance\""},
  };
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer sk-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow);
    c.status == 0 ? world.transport.respondNotHTTP(kInternationalURL)
                  : world.transport.respond(kInternationalURL, c.status, c.body);
    const std::string chinaBody = balance("12.5", "12.5", R"(,"status":true)");
    if (c.chinaStatus >= 0) world.transport.respond(kChinaURL, c.chinaStatus, chinaBody);
    const auto describe = [](const UsageData& r) {
      return formatFixed(r.used, 2) + "/" + formatFixed(r.limit, 0) + " " + std::string(caseName(r.costSemantic)) +
             " " + std::string(caseName(r.resetPeriod)) + " " + *r.note;
    };
    EXPECT_EQ(testing::outcomeOf([&] { return MoonshotService(world.context).fetchUsage("api: sk-1\n"); }, describe),
              c.want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.chinaStatus >= 0 ? 2u : 1u);
    EXPECT_EQ(testing::requestText(requests[0]), "GET " + kInternationalURL + rest);
    if (c.chinaStatus >= 0) {
      EXPECT_EQ(testing::requestText(requests[1]), "GET " + kChinaURL + rest);
    }
  }
}

}  // namespace
}  // namespace dapplewick
