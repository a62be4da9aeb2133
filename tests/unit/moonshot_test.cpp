#include "providers/moonshot.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kIntl = "https://api.moonshot.ai/v1/users/me/balance";
const std::string kChina = "https://api.moonshot.cn/v1/users/me/balance";
using testing::kNotHTTP;

std::string balance(const std::string& cash, int code = 0, const std::string& tail = R"(,"status":true)") {
  return R"({"code":)" + std::to_string(code) +
         R"(,"data":{"available_balance":3,"voucher_balance":0,)"
         R"("cash_balance":)" +
         cash + R"(},"scode":"0x0")" + tail + "}";
}

// Only a rejected key goes on to the China host; any other failure of the first host is final.
TEST(MoonshotService, AsksTheChinaHostOnlyForARejectedKey) {
  struct Case {
    int status;
    std::optional<int> china{};
    std::string body{}, want;
  };  // china: its status, if asked
  const std::string three = "3/0 monthly 'Balance: $3.0000'";
  const std::vector<Case> cases = {
      {.status = 401, .china = 200, .want = three},
      {.status = 403, .china = 403, .want = "Invalid Moonshot API key"},
      {.status = 200, .body = balance("-1.25"), .want = "3/0 monthly 'Balance: $3.0000 \u00B7 $1.2500 in deficit'"},
      {.status = 200, .body = balance("0"), .want = three},  // no cash is no deficit
      {.status = 500, .want = "Moonshot API error 500"},
      {.status = kNotHTTP, .want = "Unexpected response from Moonshot"},
      {.status = 200, .body = balance("1", 5), .want = "Moonshot API error 5"},
      {.status = 200, .body = balance("1", 5, ""), .want = "missing key \"status\""},
      {.status = 200, .body = balance("1", 0, R"(,"status":false)"), .want = "Moonshot API error 0"},
      {.status = 200,
       .body = R"({"code":0,"data":{"available_balance":"1"}})",
       .want = "expected a number at \"data.available_balance\""},
  };
  const std::string rest =
      " (60000 ms)\nAuthorization: Bearer sk-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  const auto show = [](const UsageData& r) { return testing::recordText(r); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(Timestamp{}, Provider::moonshot);
    c.status == kNotHTTP ? world.transport.respondNotHTTP(kIntl) : world.transport.respond(kIntl, c.status, c.body);
    if (c.china) world.transport.respond(kChina, *c.china, balance("1"));
    EXPECT_EQ(testing::outcomeOf([&] { return MoonshotService(world.context).fetchUsage("api: sk-1\n"); }, show),
              c.want);
    // An unscripted China request would fail the fetch; the last request is the one to the host that answered.
    EXPECT_EQ(testing::requestText(world.transport.requests().back()), "GET " + (c.china ? kChina : kIntl) + rest);
  }
}

}  // namespace
}  // namespace dapplewick
