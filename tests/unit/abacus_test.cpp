#include "providers/abacus.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "common/dates.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

const std::string kPointsURL = "https://apps.abacus.ai/api/_getOrganizationComputePoints";
const std::string kBillingURL = "https://apps.abacus.ai/api/_getBillingInfo";
const std::string kBad = "Invalid Abacus AI credential \u2014 please log in and paste your Cookie header";
const Timestamp kNow = *parseInternetDate("2026-03-15T12:00:00Z");

// The record as text, marked when it is stamped with another provider, which the text leaves out.
std::string show(const UsageData& r) {
  const bool own = r.id == Provider::abacus && r.provider == Provider::abacus;
  return testing::recordText(r, kNow) + (own ? "" : " (wrong provider)");
}

std::string envelope(const std::string& result) { return R"({"success":true,"result":)" + result + "}"; }
std::string points(const std::string& total, const std::string& left) {
  return envelope(R"({"totalComputePoints":)" + total + R"(,"computePointsLeft":)" + left + "}");
}

// Every fetch sends the same two requests; the compute points are required, the billing answer only adds the
// reset date. The points answer with their status, or with no HTTP answer at all (kNotHTTP).
TEST(AbacusService, SendsBothRequestsAndMapsTheComputePoints) {
  struct Case {
    std::string points = "", want = "", billing = "";
    int status = 200;
  };
  const std::string rest = " (60000 ms)\nContent-Type: application/json\nAccept: application/json\nCookie: a=1; b=2\n"
                           "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n";
  const std::string parse = "Failed to parse Abacus AI response: ", server = parse + "_getOrganizationComputePoints: ";
  const std::string unknown = server + "unknown", invalid = parse + "Invalid JSON from _getOrganizationComputePoints";
  const std::string missing = parse + "Missing credit fields in compute points response";
  const auto record = [](const std::string& used, const std::string& points) {
    return used + "/100 monthly 'Abacus AI compute points: " + points + "'";
  };
  // clang-format off
  const std::vector<Case> cases = {
      // A successful envelope is read whatever its error says; a billing date only as a text.
      {points("250", "100"), "60/100 monthly @2026-04-01T00:00:00Z 'Abacus AI compute points: 150 / 250'",
       R"({"success":true,"error":"login","result":{"nextBillingDate":"2026-04-01T02:00:00+02:00"}})"},
      {points("250", "100"), record("60", "150 / 250"), envelope(R"({"nextBillingDate":1775001600})")},
      {points("250", "100"), record("60", "150 / 250"), R"({"success":false,"error":"login"})"},
      {.want = "Unexpected response from Abacus AI", .status = testing::kNotHTTP}, {.want = kBad, .status = 401},
      {.want = "Abacus AI API error 204", .status = 204},
      {"not json", invalid}, {"[1,2]", invalid}, {R"({"error":"Your Session Has EXPIRED"})", kBad},
      {R"({"error":"Rate Limit Reached"})", server + "rate limit reached"},
      {R"({"success":true,"result":[1],"error":42})", unknown}, {R"({"success":"true","result":{}})", unknown},
      // A long server text is cut, but a session word beyond the cut is still found.
      {R"({"error":"X)" + std::string(300, 'y') + R"("})", server + "x" + std::string(199, 'y')},
      {R"({"error":")" + std::string(400, 'a') + R"( FORBIDDEN"})", kBad},
      {points("1000", "-500"), record("100", "1,500 / 1,000")}, {points("0", "5"), record("0", "-5 / 0")},
      {points("100", "150"), record("0", "-50 / 100")}, {points("100.5", "88.25"), record("12.189055", "12.2 / 100.5")},
      {points("true", "false"), record("100", "1 / 1")}, {points("\"250\"", "100"), missing},
      {points("250", "null"), missing},
      // Figures below 1000 keep one fraction digit, larger ones none, halves to even.
      {points("2000", "1000.05"), record("49.9975", "1,000 / 2,000")},
      {points("2001", "1000.5"), record("50", "1,000 / 2,001")},
      {points("1234568.89", "1"), record("99.999919", "1,234,568 / 1,234,569")}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.points + " " + c.billing);
    testing::ServiceWorld world(kNow, Provider::abacus);
    c.status == testing::kNotHTTP ? world.transport.respondNotHTTP(kPointsURL)
                                  : world.transport.respond(kPointsURL, c.status, c.points);
    world.transport.respond(kBillingURL, 200, c.billing);
    const auto fetch = [&] { return AbacusService(world.context).fetchUsage("\u00A0 a=1; b=2\r\n"); };
    EXPECT_EQ(testing::outcomeOf(fetch, show), c.want);
    const auto sent = [&](const auto& url) { return testing::requestText(world.transport.requestsTo(url).at(0)); };
    EXPECT_EQ(sent(kPointsURL) + sent(kBillingURL),
              "GET " + kPointsURL + rest + "(no body)POST " + kBillingURL + rest + "{}");
  }
  EXPECT_EQ(abacus::formatCredits(std::nan("")) + " " + abacus::formatCredits(HUGE_VAL), "nan inf");
}

}  // namespace
}  // namespace dapplewick
