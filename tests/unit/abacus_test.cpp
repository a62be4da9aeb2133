#include "providers/abacus.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <tuple>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/fake_transport.hpp"
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

class AbacusTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  testing::FakeTransport& transport = world.transport;
  AbacusService service{world.context};

  // The note of a fetch (marked when it has a reset date), or the text of its error.
  std::string outcome(std::string_view cookie = "session=abc") {
    try {
      const UsageData data = service.fetchUsage(cookie);
      return data.note.value_or("") + (data.resetAt ? " (resets)" : "");
    } catch (const std::exception& error) {
      return error.what();
    }
  }
};

TEST_F(AbacusTest, SendsBothRequestsWithTheTrimmedCookieAndBuildsTheRecord) {
  transport.respond(kPointsURL, 200, kPoints);
  transport.respond(kBillingURL, 200, envelope(R"({"nextBillingDate":"2026-04-01T08:30:00.250Z"})"));
  UsageData want = UsageData::blank(Provider::abacus);
  want.used = 60;
  want.limit = 100;
  want.costSemantic = CostSemantic::none;
  want.resetAt = at("2026-04-01T08:30:00.250Z");
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "Abacus AI compute points: 150 / 250";
  EXPECT_EQ(service.fetchUsage("\u00A0 session=abc; other=1\r\n"), want);

  const auto points = transport.requestsTo(kPointsURL);
  const auto billing = transport.requestsTo(kBillingURL);
  ASSERT_EQ(points.size(), 1u);
  ASSERT_EQ(billing.size(), 1u);
  const HTTPHeaders headers{{"Content-Type", "application/json"},
                            {"Accept", "application/json"},
                            {"Cookie", "session=abc; other=1"},
                            {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"}};
  EXPECT_EQ(points[0].method, "GET");
  EXPECT_EQ(points[0].headers, headers);
  EXPECT_EQ(points[0].body, std::nullopt);
  EXPECT_EQ(billing[0].method, "POST");
  EXPECT_EQ(billing[0].headers, headers);
  EXPECT_EQ(billing[0].body, std::optional<std::string>("{}"));
  EXPECT_EQ(billing[0].timeout, 60s);
}

TEST_F(AbacusTest, AnEmptyCookieSendsNothing) {
  for (const std::string cookie : {"", "\r\n\t ", "\u00A0"}) EXPECT_EQ(outcome(cookie), kInvalidCredentials);
  EXPECT_EQ(transport.requestCount(), 0u);
}

// The compute points are required; a failed billing request only drops the reset date.
TEST_F(AbacusTest, JudgesBothAnswers) {
  const std::string points = "Abacus AI compute points: 150 / 250";
  const std::vector<std::tuple<int, int, std::string, std::string>> cases = {
      {200, 200, envelope(R"({"nextBillingDate":"2026-04-01T00:00:00Z"})"), points + " (resets)"},
      {200, 401, "", points},
      {200, 200, R"({"success":false,"error":"login"})", points},
      {200, -1, "", points},
      {0, 200, envelope("{}"), "Unexpected response from Abacus AI"},
      {401, 200, envelope("{}"), kInvalidCredentials},
      {403, 200, envelope("{}"), kInvalidCredentials},
      {204, 200, envelope("{}"), "Abacus AI API error 204"},
  };
  for (const auto& [pointsStatus, billingStatus, billing, want] : cases) {
    SCOPED_TRACE(want + " " + billing);
    if (pointsStatus == 0) transport.respondNotHTTP(kPointsURL);
    if (pointsStatus != 0) transport.respond(kPointsURL, pointsStatus, kPoints);
    if (billingStatus < 0) transport.fail(kBillingURL, TransportError(TransportError::Kind::connection, "down"));
    if (billingStatus >= 0) transport.respond(kBillingURL, billingStatus, billing);
    EXPECT_EQ(outcome(), want);
  }
}

TEST(AbacusEnvelope, ReadsOrRejectsTheEnvelope) {
  const std::string endpoint = kParse + "_getOrganizationComputePoints: ";
  const std::string invalid = kParse + "Invalid JSON from _getOrganizationComputePoints";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"result":{"a":1},"success":true,"error":"session expired"})", "{\"a\":1}"},
      {"not json", invalid},
      {"[1,2]", invalid},
      {R"({"success":true,"result":{"totalComputePoints":1e999}})", invalid},
      {R"({"success":false,"error":"Your Session Has EXPIRED"})", kInvalidCredentials},
      {R"({"success":false,"error":"FORBIDDEN"})", kInvalidCredentials},
      {R"({"success":false,"error":"Rate Limit Reached"})", endpoint + "rate limit reached"},
      {R"({"success":false,"error":42})", endpoint + "unknown"},
      {R"({"success":true,"result":[1]})", endpoint + "unknown"},
      {R"({"success":true,"result":null,"error":"Oops"})", endpoint + "oops"},
      {R"({"success":"true","result":{}})", endpoint + "unknown"},
  };
  for (const auto& [body, want] : cases) {
    try {
      EXPECT_EQ(abacus::readEnvelope(body, kPointsURL).dump(), want) << body;
    } catch (const AbacusError& error) {
      EXPECT_EQ(std::string(error.what()), want) << body;
    }
  }
  EXPECT_EQ(testing::errorText([&] { abacus::readEnvelope("<html>", kBillingURL); }),
            kParse + "Invalid JSON from _getBillingInfo");
}

TEST(AbacusEnvelope, CutsALongServerErrorButStillFindsASessionWordBeyondTheCut) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "\u00C9";  // two bytes each: a cut must not split one
  EXPECT_EQ(testing::errorText([&] { abacus::readEnvelope(R"({"error":"X)" + text + R"("})", kBillingURL); }),
            kParse + "_getBillingInfo: x" + text.substr(0, 199 * 2));
  const std::string late = R"({"success":false,"error":")" + std::string(400, 'a') + R"( session expired"})";
  EXPECT_EQ(testing::errorText([&] { abacus::readEnvelope(late, kBillingURL); }), kInvalidCredentials);
}

TEST(AbacusUsage, MapsTheComputePoints) {
  const auto map = [](const std::string& points) -> std::string {
    try {
      const UsageData data = abacus::makeUsage(Json::parse(points), Json::object(), kNow);
      return formatFixed(data.used, 2) + "% " + data.note.value_or("");
    } catch (const AbacusError& error) {
      return error.what();
    }
  };
  const std::string note = "% Abacus AI compute points: ";
  const std::string missing = kParse + "Missing credit fields in compute points response";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"totalComputePoints":1000,"computePointsLeft":-500})", "100.00" + note + "1,500 / 1,000"},
      {R"({"totalComputePoints":0,"computePointsLeft":5})", "0.00" + note + "-5 / 0"},
      {R"({"totalComputePoints":100,"computePointsLeft":150})", "0.00" + note + "-50 / 100"},
      {R"({"totalComputePoints":100.5,"computePointsLeft":88.25})", "12.19" + note + "12.2 / 100.5"},
      {R"({"totalComputePoints":true,"computePointsLeft":false})", "100.00" + note + "1 / 1"},
      {R"({"totalComputePoints":"250","computePointsLeft":100})", missing},
      {R"({"totalComputePoints":250,"computePointsLeft":null})", missing},
      {R"({"computePointsLeft":100})", missing},
  };
  for (const auto& [points, want] : cases) EXPECT_EQ(map(points), want) << points;
}

TEST(AbacusUsage, ReadsTheNextBillingDate) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {R"("2026-04-01T00:00:00.123Z")", "2026-04-01T00:00:00.123Z"},
      {R"("2026-04-01T02:00:00+02:00")", "2026-04-01T00:00:00Z"},
      {R"("2026-02-30T00:00:00Z")", std::nullopt},
      {"1775001600", std::nullopt},
  };
  for (const auto& [date, want] : cases) {
    const UsageData data = abacus::makeUsage(Json::parse(R"({"totalComputePoints":2,"computePointsLeft":1})"),
                                             Json::parse(R"({"nextBillingDate":)" + date + "}"), kNow);
    EXPECT_EQ(data.resetAt, want ? std::optional(at(*want)) : std::nullopt) << date;
  }
}

TEST_F(AbacusTest, ARequiredFailureCancelsAndJoinsTheBillingRequest) {
  std::atomic<int> cancelled{0};
  transport.handle(kBillingURL, testing::blockUntilCancelled(&cancelled));
  transport.respond(kPointsURL, 401, "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(), kInvalidCredentials);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(cancelled.load(), 1) << "the billing request had finished by the time the error came out";
}

TEST_F(AbacusTest, StoppingTheFetchCancelsBothRequests) {
  transport.handle(kPointsURL, testing::blockUntilCancelled());
  transport.handle(kBillingURL, testing::blockUntilCancelled());
  testing::DelayedStop stop(20ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(service.fetchUsage("session=abc", stop.token()), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(AbacusFormatCredits, OneFractionDigitBelowAThousandHalvesToEven) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {12.25, "12.2"},   {12.35, "12.4"},   {0.15, "0.2"},     {-12.25, "-12.2"},         {-0.04, "0"},
      {999.95, "1,000"}, {1000.5, "1,000"}, {1001.5, "1,002"}, {1234567.89, "1,234,568"}, {std::nan(""), "nan"},
      {inf, "inf"}};
  for (const auto& [value, want] : cases) EXPECT_EQ(abacus::formatCredits(value), want) << value;
}

}  // namespace
}  // namespace dapplewick
