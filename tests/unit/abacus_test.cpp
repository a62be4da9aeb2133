#include "providers/abacus.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <tuple>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kPointsURL = "https://apps.abacus.ai/api/_getOrganizationComputePoints";
const std::string kBillingURL = "https://apps.abacus.ai/api/_getBillingInfo";
const std::string kInvalidCredentials =
    "Invalid Abacus AI credential \u2014 please log in and paste your Cookie header";
const std::string kParse = "Failed to parse Abacus AI response: ";
const Timestamp kNow = Timestamp(std::chrono::sys_days(std::chrono::year{2026} / 3 / 15).time_since_epoch()) + 12h;

std::string envelope(const std::string& result) { return R"({"success":true,"result":)" + result + "}"; }
const std::string kPoints = envelope(R"({"totalComputePoints":250,"computePointsLeft":100})");

Timestamp at(std::string_view text) { return *parseRFC3339(text, FractionMode::optional); }

TEST(AbacusService, SendsBothRequestsWithTheTrimmedCookieAndBuildsTheRecord) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kPointsURL, 200, kPoints);
  world.transport.respond(kBillingURL, 200, envelope(R"({"nextBillingDate":"2026-04-01T08:30:00.250Z"})"));
  UsageData want = UsageData::blank(Provider::abacus);
  want.used = 60;
  want.limit = 100;
  want.resetAt = at("2026-04-01T08:30:00.250Z");
  want.lastUpdated = kNow;
  want.note = "Abacus AI compute points: 150 / 250";
  EXPECT_EQ(AbacusService(world.context).fetchUsage("\u00A0 session=abc; other=1\r\n"), want);

  const std::string rest = " (60000 ms)\nContent-Type: application/json\nAccept: application/json\n"
                           "Cookie: session=abc; other=1\n"
                           "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n";
  const auto sent = [&](const std::string& url) { return testing::requestText(world.transport.requestsTo(url).at(0)); };
  EXPECT_EQ(sent(kPointsURL), "GET " + kPointsURL + rest + "(no body)");
  EXPECT_EQ(sent(kBillingURL), "POST " + kBillingURL + rest + "{}");
}

// The compute points are required; a failed billing request only drops the reset date.
TEST(AbacusService, ComputePointsAreRequiredBillingIsNot) {
  const std::string points = "Abacus AI compute points: 150 / 250";
  const std::vector<std::tuple<int, int, std::string, std::string>> cases = {
      {200, 200, envelope(R"({"nextBillingDate":"2026-04-01T02:00:00+02:00"})"), points + " (resets)"},
      {200, 200, envelope(R"({"nextBillingDate":1775001600})"), points},  // a date is a text
      {200, 401, "", points},
      {200, 200, R"({"success":false,"error":"login"})", points},
      {0, 200, envelope("{}"), "Unexpected response from Abacus AI"},  // 0: not an HTTP answer
      {401, 200, envelope("{}"), kInvalidCredentials},
      {204, 200, envelope("{}"), "Abacus AI API error 204"},
  };
  for (const auto& [pointsStatus, billingStatus, billing, want] : cases) {
    SCOPED_TRACE(want + " " + billing);
    testing::ServiceWorld world(kNow);
    if (pointsStatus == 0) world.transport.respondNotHTTP(kPointsURL);
    if (pointsStatus != 0) world.transport.respond(kPointsURL, pointsStatus, kPoints);
    world.transport.respond(kBillingURL, billingStatus, billing);
    const auto fetch = [&] { return AbacusService(world.context).fetchUsage("session=abc"); };
    EXPECT_EQ(testing::outcomeOf(fetch, [](const UsageData& d) { return *d.note + (d.resetAt ? " (resets)" : ""); }),
              want);
  }
}

TEST(AbacusEnvelope, ReadsOrRejectsTheEnvelope) {
  const std::string endpoint = kParse + "_getOrganizationComputePoints: ";
  const std::string invalid = kParse + "Invalid JSON from _getOrganizationComputePoints";
  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "\u00C9";  // two bytes each: a cut must not split one
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"result":{"a":1},"success":true,"error":"session expired"})", "{\"a\":1}"},
      {"not json", invalid},
      {"[1,2]", invalid},
      {R"({"success":false,"error":"Your Session Has EXPIRED"})", kInvalidCredentials},
      {R"({"success":false,"error":"FORBIDDEN"})", kInvalidCredentials},
      {R"({"success":false,"error":"Rate Limit Reached"})", endpoint + "rate limit reached"},
      {R"({"success":false,"error":42})", endpoint + "unknown"},
      {R"({"success":true,"result":[1]})", endpoint + "unknown"},
      {R"({"success":true,"result":null,"error":"Oops"})", endpoint + "oops"},
      {R"({"success":"true","result":{}})", endpoint + "unknown"},
      // A long server text is cut, but a session word beyond the cut is still found.
      {R"({"error":"X)" + accented + R"("})", endpoint + "x" + accented.substr(0, 199 * 2)},
      {R"({"success":false,"error":")" + std::string(400, 'a') + R"( session expired"})", kInvalidCredentials},
  };
  const auto dump = [](const Json& result) { return result.dump(); };
  for (const auto& c : cases) {
    EXPECT_EQ(testing::outcomeOf([&] { return abacus::readEnvelope(c.first, kPointsURL); }, dump), c.second)
        << c.first;
  }
  EXPECT_EQ(testing::errorText([&] { abacus::readEnvelope("<html>", kBillingURL); }),
            kParse + "Invalid JSON from _getBillingInfo");
}

TEST(AbacusUsage, MapsTheComputePoints) {
  const std::string note = "% Abacus AI compute points: ";
  const std::string missing = kParse + "Missing credit fields in compute points response";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"totalComputePoints":1000,"computePointsLeft":-500})", "100.00" + note + "1,500 / 1,000"},
      {R"({"totalComputePoints":0,"computePointsLeft":5})", "0.00" + note + "-5 / 0"},
      {R"({"totalComputePoints":100,"computePointsLeft":150})", "0.00" + note + "-50 / 100"},
      {R"({"totalComputePoints":100.5,"computePointsLeft":88.25})", "12.19" + note + "12.2 / 100.5"},
      {R"({"totalComputePoints":true,"computePointsLeft":false})", "100.00" + note + "1 / 1"},
      {R"({"totalComputePoints":"250","computePointsLeft":100})", missing},
      {R"({"computePointsLeft":100})", missing},
  };
  const auto describe = [](const UsageData& data) { return formatFixed(data.used, 2) + "% " + data.note.value_or(""); };
  for (const auto& c : cases) {
    const auto map = [&] { return abacus::makeUsageData(abacus::readComputePoints(Json::parse(c.first)), {}, kNow); };
    EXPECT_EQ(testing::outcomeOf(map, describe), c.second) << c.first;
  }
}

TEST(AbacusFormatCredits, OneFractionDigitBelowAThousandNoneFromIt) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {999.95, "1,000"}, {1000.5, "1,000"}, {1234567.89, "1,234,568"}, {std::nan(""), "nan"}, {inf, "inf"}};
  for (const auto& [value, want] : cases) EXPECT_EQ(abacus::formatCredits(value), want) << value;
}

}  // namespace
}  // namespace dapplewick
