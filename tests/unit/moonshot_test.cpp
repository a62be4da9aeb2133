#include "providers/moonshot.hpp"

#include <gtest/gtest.h>

#include "common/numbers.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kIntl = "https://api.moonshot.ai/v1/users/me/balance";
const std::string kChina = "https://api.moonshot.cn/v1/users/me/balance";

std::string balance(const std::string& cash, int code = 0, const std::string& tail = R"(,"status":true)") {
  return R"({"code":)" + std::to_string(code) + R"(,"data":{"available_balance":3,"voucher_balance":0,)"
         R"("cash_balance":)" + cash + R"(},"scode":"0x0")" + tail + "}";
}

// Only a rejected key goes on to the China host; any other failure of the first host is final.
TEST(MoonshotService, AsksTheChinaHostOnlyForARejectedKey) {
  // status, chinaStatus (-1: never asked), body, outcome; a status of 0 is an answer that is not HTTP.
  const std::vector<std::tuple<int, int, std::string, std::string>> cases = {
      {401, 200, "", "3.00/0 none monthly Balance: $3.0000"}, {403, 403, "", "Invalid Moonshot API key"},
      {200, -1, balance("-1.25"), "3.00/0 none monthly Balance: $3.0000 \u00B7 $1.2500 in deficit"},
      {200, -1, balance("0"), "3.00/0 none monthly Balance: $3.0000"},  // no cash is no deficit
      {500, -1, "", "Moonshot API error 500"}, {0, -1, "", "Unexpected response from Moonshot"},
      {200, -1, balance("1", 5), "Moonshot API error 5"}, {200, -1, balance("1", 5, ""), "missing key \"status\""},
      {200, -1, balance("1", 0, R"(,"status":false)"), "Moonshot API error 0"},
      {200, -1, R"({"code":0,"data":{"available_balance":"1"}})", "expected a number at \"data.available_balance\""},
  };
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer sk-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  const auto show = [](const UsageData& r) { return formatFixed(r.used, 2) + "/" + formatFixed(r.limit, 0) + " " +
      std::string(caseName(r.costSemantic)) + " " + std::string(caseName(r.resetPeriod)) + " " + *r.note; };
  for (const auto& [status, chinaStatus, body, want] : cases) {
    testing::ServiceWorld world(Timestamp{}, Provider::moonshot);
    status == 0 ? world.transport.respondNotHTTP(kIntl) : world.transport.respond(kIntl, status, body);
    if (chinaStatus >= 0) world.transport.respond(kChina, chinaStatus, balance("1"));
    EXPECT_EQ(testing::outcomeOf([&] { return MoonshotService(world.context).fetchUsage("api: sk-1\n"); }, show), want);
    // An unscripted China request would fail the fetch; the last request is the one to the host that answered.
    EXPECT_EQ(testing::requestText(world.transport.requests().back()),
              "GET " + (chinaStatus < 0 ? kIntl : kChina) + rest);
  }
}

}  // namespace
}  // namespace dapplewick
