#include "providers/perplexity.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://www.perplexity.ai/rest/billing/credits?version=2.18&source=default";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};

std::string creditsBody(const std::string& grants, const std::string& usage = "4200",
                        const std::string& renewal = "1751328000") {
  return R"({"balance_cents":10800,"renewal_date_ts":)" + renewal +
         R"(,"current_period_purchased_cents":0,"credit_grants":[)" + grants + R"(],"total_usage_cents":)" + usage +
         "}";
}

std::string grant(const std::string& type, const std::string& cents) {
  return R"({"type":")" + type + R"(","amount_cents":)" + cents + "}";
}

std::string summary(const UsageData& record) {
  return *formatDecimal(record.used, 4, false) + " / " + *formatDecimal(record.limit, 4, false) + " $" +
         *formatDecimal(record.cost, 4, false) + " " + std::string(caseName(record.costSemantic)) +
         (record.resetAt ? " " + formatRFC3339Seconds(*record.resetAt) : "") + " " + record.note.value_or("");
}

TEST(PerplexityService, SendsTheBareTokenAsTheSessionCookieAndCountsRecurringGrants) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200,
                          creditsBody(grant("recurring", "10000") + "," + grant("bonus", "500") + "," +
                                      grant("recurring", "5000")));
  const UsageData record = PerplexityService(world.context).fetchUsage("web: tok-1\n");
  EXPECT_EQ(summary(record), "4200 / 15000 $0 none 2025-07-01T00:00:00Z Balance: 108 credits");
  EXPECT_EQ(record.percentage(), 28);
  EXPECT_EQ(record.resetPeriod, ResetPeriod::monthly);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "GET " + kURL + " (60000 ms)\nAccept: application/json\nCookie: __Secure-next-auth.session-token=tok-1\n"
            "Origin: https://www.perplexity.ai\nReferer: https://www.perplexity.ai/account/usage\n"
            "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/143.0.0.0 Safari/537.36\n\n(no body)");
  // A whole cookie header goes as it is; the origin keeps its port.
  const HTTPRequest whole = perplexity::creditsRequest("http://127.0.0.1:8443", "a=1; b");
  EXPECT_EQ(whole.headers.get("Cookie"), "a=1; b");
  EXPECT_EQ(whole.headers.get("Referer"), "http://127.0.0.1:8443/account/usage");
  EXPECT_EQ(perplexity::cookieHeader("x;y"), "x;y");
}

TEST(PerplexityService, BranchesAndFailures) {
  struct Case {
    int status;
    std::string body, want;
  };
  const std::vector<Case> cases = {
      {200, creditsBody(grant("recurring", "15000"), "20000"),
       "15000 / 15000 $0 none 2025-07-01T00:00:00Z Balance: 108 credits"},
      // Only "recurring" in exactly that case counts.
      {200, creditsBody(grant("Recurring", "15000"), "1234"),
       "0 / 0 $12.34 periodCumulative 2025-07-01T00:00:00Z Balance: 108.00 USD"},
      {200, creditsBody("", "1234", "253402300800"), "0 / 0 $12.34 periodCumulative Balance: 108.00 USD"},
      {200, creditsBody("", "0", "-1"), "0 / 0 $0 periodCumulative Balance: 108.00 USD"},
      // Grants that add up to more than a double holds.
      {200, creditsBody(grant("recurring", "1e308") + "," + grant("recurring", "1e308")),
       "Unexpected response from Perplexity"},
      {200, creditsBody(R"({"type":"recurring"})"), "missing key \"credit_grants[0].amount_cents\""},
      {200, creditsBody("", "\"4200\""), "expected a number at \"total_usage_cents\""},
      {402, "", "Perplexity API error 402"},
      {401, "", "Invalid Perplexity session token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kURL, c.status, c.body);
    EXPECT_EQ(testing::outcomeOf([&] { return PerplexityService(world.context).fetchUsage("t"); }, summary), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
