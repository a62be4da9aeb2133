#include "providers/mistral.hpp"

#include <gtest/gtest.h>

#include <utility>

#include "common/dates.hpp"
#include "common/json_document.hpp"
#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

// 00:30 on 1 March two hours east of UTC: still February in UTC.
const Timestamp kNow{std::chrono::seconds{1'772'317'800}};  // 2026-02-28T22:30Z
const std::string kURL = "https://admin.mistral.ai/api/billing/v2/usage?month=2&year=2026";

TEST(MistralService, AsksForTheUTCMonthWithTheFirstCSRFCookie) {
  testing::TimeZoneGuard zone("<+02>-2");
  testing::ServiceWorld world(kNow, Provider::mistral);
  world.transport.respond(kURL, 200, "{}");
  const std::string cookie = "a=1; ; CsrfToken = tok=en ;csrf_token=second";
  const UsageData record = MistralService(world.context).fetchUsage("web:" + cookie + "\n");
  EXPECT_EQ(record.resetAt, parseInternetDate("2026-03-31T22:00:00Z"));  // the end of the local month
  EXPECT_EQ(record.costSemantic, CostSemantic::periodCumulative);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL + " (60000 ms)\nAccept: */*\nCookie: " + cookie +
                "\nReferer: https://admin.mistral.ai/organization/usage\nOrigin: https://admin.mistral.ai\n"
                "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n"
                "X-CSRFTOKEN: tok=en\n\n(no body)");
}

TEST(MistralCSRFToken, FirstMatchingNameInLowerCase) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"session=1; csrf=2", std::nullopt},
      {"csrftoken", std::nullopt},
      {"x=1;CSRF_TOKEN=", ""},
      {"\tcsrftoken\n= v \n; csrftoken=w", "v"},
      {"csrf_token=a=b; csrftoken=c", "a=b"},
  };
  for (const auto& [cookie, want] : cases) EXPECT_EQ(mistral::extractCSRFToken(cookie), want) << cookie;
  EXPECT_EQ(mistral::usageRequest("o", "s=1", kNow).headers.get("X-CSRFTOKEN"), std::nullopt);
}

std::string line(const std::string& metric, const std::string& rest) {
  return R"({"billing_metric":")" + metric + R"(","billing_group":"g",)" + rest + "}";
}
std::string price(const std::string& metric, const std::string& text) { return line(metric, R"("price":)" + text); }

// The eight maps each hold one line of a distinct power of two, all at the price 1.
std::string everyMap() {
  Json body = {{"prices", {{{"billing_metric", "p"}, {"billing_group", "g"}, {"price", "1"}}}}};
  for (int value = 1; const char* path : {"/completion/models/m/input", "/ocr/models/m/output",
                                          "/connectors/models/m/cached", "/audio/models/m/input",
                                          "/libraries_api/pages/models/m/input", "/libraries_api/tokens/models/m/input",
                                          "/fine_tuning/training/m/input", "/fine_tuning/storage/m/input"})
    body[Json::json_pointer(path)] = {
        {{"billing_metric", "p"}, {"billing_group", "g"}, {"value", std::exchange(value, value * 2)}}};
  return body.dump();
}

TEST(MistralService, PricesEveryLineOfTheMonth) {
  const auto priced = [](const std::string& prices, const std::string& lines, const std::string& extra = "") {
    return R"({"completion":{"models":{"m":{"input":[)" + lines + R"(]}}},"prices":[)" + prices + "]" + extra + "}";
  };
  testing::TimeZoneGuard zone("UTC");  // the month ends at local midnight
  const std::string month = "0/0 monthly @2026-03-01T00:00:00Z cost ";
  // clang-format off
  const std::tuple<int, std::string, std::string> cases[] = {
      {200, everyMap(), month + "255 periodCumulative '\u20AC255.0000 this month'"},
      {200, priced(price("a", R"("0.002")") + "," + price("b", R"("NaN")"),
                   line("a", R"("value":1000)") + "," + line("b", R"("value":1000)"), R"(,"currency_symbol":"")"),
       month + "2 periodCumulative '2.0000 this month'"},
      // The later of two prices; a paid quantity wins even at 0; a line without a group is passed over.
      {200, priced(price("a", R"("1")") + "," + price("a", R"("3")"),
                   line("a", R"("value":2)") + "," + line("a", R"("value_paid":0,"value":1000)") +
                       R"(,{"billing_metric":"a","value":7})"),
       month + "6 periodCumulative '\u20AC6.0000 this month'"},
      {200, priced(price("a", R"("-1.5")"), line("a", R"("value":1)"), R"(,"currency_symbol":"$")"),
       month + "-1.5 periodCumulative '$0.0000 this month'"},
      // Finite prices, an overflowing product.
      {200, priced(price("a", R"("1e305")"), line("a", R"("value":9999)")), "Unexpected response from Mistral"},
      {200, priced(price("a", "0.002"), ""), "expected a string at \"prices[0].price\""},
      {200, priced("", line("a", R"("value":12.5)")), "expected an integer at \"completion.models[0].input[0].value\""},
      {200, R"({"fine_tuning":{"storage":{"m":null}}})", "expected an object at \"fine_tuning.storage[0]\""},
      {200, "<html>login</html>",
       "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)"},
      {500, "", "Mistral API error 500"},
      {401, "", "Invalid Mistral session cookie"}, {403, "", "Invalid Mistral session cookie"},
  };
  // clang-format on
  for (const auto& [status, body, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::mistral);
    world.transport.respond(kURL, status, body);
    EXPECT_EQ(testing::outcomeOf([&] { return MistralService(world.context).fetchUsage("s=1"); },
                                 [](const UsageData& r) { return testing::recordText(r); }),
              want)
        << body;
  }
}

}  // namespace
}  // namespace dapplewick
