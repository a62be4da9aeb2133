#include "providers/abacus.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "model/configuration.hpp"
#include "providers/dates.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kPointsURL = "https://apps.abacus.ai/api/_getOrganizationComputePoints";
const std::string kBillingURL = "https://apps.abacus.ai/api/_getBillingInfo";
const std::string kUserAgent = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";
const std::string kInvalidCredentials =
    "Invalid Abacus AI credential \u2014 please log in and paste your Cookie header";

const Timestamp kNow = Timestamp(std::chrono::sys_days(std::chrono::year{2026} / 3 / 15).time_since_epoch()) + 12h;

std::string pointsBody(const std::string& result) { return R"({"success":true,"result":)" + result + "}"; }

Timestamp at(std::string_view text) { return *parseRFC3339(text, FractionMode::optional); }

class AbacusTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  testing::FakeTransport& transport = world.transport;
  AbacusService service{world.context};

  void answerBilling(int status = 200,
                     std::string body = pointsBody(R"({"nextBillingDate":"2026-04-01T00:00:00Z"})")) {
    transport.respond(kBillingURL, status, std::move(body));
  }

  std::string failure(std::string_view cookie = "session=abc") {
    return testing::errorText([&] { service.fetchUsage(cookie); });
  }
};

TEST_F(AbacusTest, SendsBothRequestsExactly) {
  transport.respond(kPointsURL, 200, pointsBody(R"({"totalComputePoints":250,"computePointsLeft":100})"));
  answerBilling();
  service.fetchUsage("session=abc; other=1");

  ASSERT_EQ(transport.requestCount(), 2u);
  const auto points = transport.requestsTo(kPointsURL);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].method, "GET");
  EXPECT_EQ(points[0].headers, (HTTPHeaders{{"Content-Type", "application/json"},
                                            {"Accept", "application/json"},
                                            {"Cookie", "session=abc; other=1"},
                                            {"User-Agent", kUserAgent}}));
  EXPECT_EQ(points[0].body, std::nullopt);
  EXPECT_EQ(points[0].timeout, 60s);

  const auto billing = transport.requestsTo(kBillingURL);
  ASSERT_EQ(billing.size(), 1u);
  EXPECT_EQ(billing[0].method, "POST");
  EXPECT_EQ(billing[0].headers, points[0].headers);
  EXPECT_EQ(billing[0].body, std::optional<std::string>("{}"));
  EXPECT_EQ(billing[0].timeout, 60s);
}

TEST_F(AbacusTest, UsesTheConfiguredOrigin) {
  Origins local(std::map<std::string, std::string>{{"abacus", "http://127.0.0.1:8123"}});
  AbacusService localService{ServiceContext{transport, world.clock, world.environment, local}};
  transport.respond("http://127.0.0.1:8123/api/_getOrganizationComputePoints", 200,
                    pointsBody(R"({"totalComputePoints":1,"computePointsLeft":1})"));
  transport.respond("http://127.0.0.1:8123/api/_getBillingInfo", 200, pointsBody("{}"));
  EXPECT_EQ(localService.fetchUsage("a=b").used, 0);
  EXPECT_EQ(transport.requestCount(), 2u);
}

TEST_F(AbacusTest, BuildsTheWholeRecord) {
  transport.respond(kPointsURL, 200, pointsBody(R"({"totalComputePoints":250,"computePointsLeft":100})"));
  answerBilling(200, pointsBody(R"({"nextBillingDate":"2026-04-01T08:30:00.250Z"})"));

  UsageData want = UsageData::blank(Provider::abacus);
  want.used = 60;
  want.limit = 100;
  want.cost = 0;
  want.costSemantic = CostSemantic::none;
  want.resetAt = at("2026-04-01T08:30:00.250Z");
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "Abacus AI compute points: 150 / 250";
  EXPECT_EQ(service.fetchUsage("session=abc"), want);
}

TEST_F(AbacusTest, TrimsTheCookie) {
  struct Case {
    std::string stored;
    std::string sent;
  };
  const Case cases[] = {
      {"session=abc", "session=abc"},
      {"  session=abc  ", "session=abc"},
      {"session=abc\r\n", "session=abc"},
      {"\tsession=abc; b=c\n", "session=abc; b=c"},
      {"\u00A0session=abc\u3000", "session=abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    testing::ServiceWorld fresh{kNow};
    fresh.transport.respond(kPointsURL, 200, pointsBody(R"({"totalComputePoints":2,"computePointsLeft":1})"));
    fresh.transport.respond(kBillingURL, 200, pointsBody("{}"));
    AbacusService(fresh.context).fetchUsage(c.stored);
    ASSERT_EQ(fresh.transport.requestCount(), 2u);
    for (const auto& request : fresh.transport.requests()) EXPECT_EQ(request.headers.get("Cookie"), c.sent);
  }
}

TEST_F(AbacusTest, AnEmptyCookieSendsNothing) {
  for (const std::string cookie : {"", " ", "\n", "\r\n\t ", "\u00A0"}) {
    SCOPED_TRACE(cookie);
    EXPECT_EQ(failure(cookie), kInvalidCredentials);
  }
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(AbacusTest, JudgesTheComputePointsStatus) {
  struct Case {
    int status;  // 0: not an HTTP answer
    std::string want;
  };
  const Case cases[] = {
      {0, "Unexpected response from Abacus AI"},
      {401, kInvalidCredentials},
      {403, kInvalidCredentials},
      {201, "Abacus AI API error 201"},
      {204, "Abacus AI API error 204"},
      {302, "Abacus AI API error 302"},
      {404, "Abacus AI API error 404"},
      {500, "Abacus AI API error 500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    if (c.status == 0) {
      transport.respondNotHTTP(kPointsURL);
    } else {
      transport.respond(kPointsURL, c.status, pointsBody(R"({"totalComputePoints":2,"computePointsLeft":1})"));
    }
    answerBilling();
    EXPECT_EQ(failure(), c.want);
  }
}

TEST_F(AbacusTest, ErrorCasesCarryTheirCode) {
  EXPECT_EQ(AbacusError::httpError(502).code(), AbacusErrorCode::httpError);
  EXPECT_EQ(AbacusError::httpError(502).value(), 502);
  EXPECT_EQ(AbacusError::parseFailed("x").code(), AbacusErrorCode::parseFailed);
  EXPECT_EQ(std::string(AbacusError::parseFailed("x").what()), "Failed to parse Abacus AI response: x");
  EXPECT_EQ(AbacusError::invalidCredentials().code(), AbacusErrorCode::invalidCredentials);
  EXPECT_EQ(AbacusError::invalidResponse().code(), AbacusErrorCode::invalidResponse);
}

TEST_F(AbacusTest, PassesATransportErrorThrough) {
  transport.fail(kPointsURL, TransportError(TransportError::Kind::timeout, "The request timed out."));
  answerBilling();
  try {
    service.fetchUsage("session=abc");
    FAIL() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::timeout);
    EXPECT_EQ(std::string(error.what()), "The request timed out.");
  }
}

TEST(AbacusEnvelope, ReadsOrRejectsTheEnvelope) {
  struct Case {
    std::string body;
    std::string want;  // empty: the result object is returned
  };
  const std::string prefix = "Failed to parse Abacus AI response: ";
  const Case cases[] = {
      {R"({"success":true,"result":{"a":1}})", ""},
      {R"({"result":{"a":1},"success":true,"error":"session expired"})", ""},
      {"not json", prefix + "Invalid JSON from _getOrganizationComputePoints"},
      {"", prefix + "Invalid JSON from _getOrganizationComputePoints"},
      {"[1,2]", prefix + "Invalid JSON from _getOrganizationComputePoints"},
      {"\"text\"", prefix + "Invalid JSON from _getOrganizationComputePoints"},
      {R"({"success":false,"error":"Your Session Has EXPIRED"})", kInvalidCredentials},
      {R"({"success":false,"error":"please LOGIN again"})", kInvalidCredentials},
      {R"({"success":false,"error":"Unauthorized"})", kInvalidCredentials},
      {R"({"success":false,"error":"FORBIDDEN"})", kInvalidCredentials},
      {R"({"success":false,"error":"no session"})", kInvalidCredentials},
      {R"({"success":false,"error":"Rate Limit Reached"})",
       prefix + "_getOrganizationComputePoints: rate limit reached"},
      {R"({"success":false})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":false,"error":42})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":false,"error":null})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":true})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":true,"result":[1]})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":true,"result":null,"error":"Oops"})", prefix + "_getOrganizationComputePoints: oops"},
      {R"({"success":"true","result":{}})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":1,"result":{}})", prefix + "_getOrganizationComputePoints: unknown"},
      {R"({"success":true,"result":{"totalComputePoints":1e999}})",
       prefix + "Invalid JSON from _getOrganizationComputePoints"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    try {
      const Json result = abacus::readEnvelope(c.body, "https://apps.abacus.ai/api/_getOrganizationComputePoints");
      EXPECT_EQ(c.want, "");
      EXPECT_EQ(result, Json::parse(R"({"a":1})"));
    } catch (const AbacusError& error) {
      EXPECT_EQ(std::string(error.what()), c.want);
    }
  }
}

TEST(AbacusEnvelope, NamesTheBillingEndpoint) {
  try {
    abacus::readEnvelope("<html>", "https://apps.abacus.ai/api/_getBillingInfo");
    FAIL() << "no error";
  } catch (const AbacusError& error) {
    EXPECT_EQ(error.code(), AbacusErrorCode::parseFailed);
    EXPECT_EQ(std::string(error.what()), "Failed to parse Abacus AI response: Invalid JSON from _getBillingInfo");
  }
}

TEST(AbacusEnvelope, CutsALongServerErrorTo200CodePoints) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "\u00C9";  // two bytes each: a cut must not split one
  const std::string body = R"({"success":false,"error":"X)" + text + R"("})";
  try {
    abacus::readEnvelope(body, "https://apps.abacus.ai/api/_getBillingInfo");
    FAIL() << "no error";
  } catch (const AbacusError& error) {
    const std::string want = "Failed to parse Abacus AI response: _getBillingInfo: x" + text.substr(0, 199 * 2);
    EXPECT_EQ(std::string(error.what()), want);
  }
}

TEST(AbacusEnvelope, FindsASessionWordBeyondTheCut) {
  const std::string body = R"({"success":false,"error":")" + std::string(400, 'a') + R"( session expired"})";
  try {
    abacus::readEnvelope(body, "https://apps.abacus.ai/api/_getBillingInfo");
    FAIL() << "no error";
  } catch (const AbacusError& error) {
    EXPECT_EQ(error.code(), AbacusErrorCode::invalidCredentials);
  }
}

TEST(AbacusUsage, MapsTheComputePoints) {
  struct Case {
    std::string points;
    double used;
    std::string note;  // empty: the mapping fails
  };
  const Case cases[] = {
      {R"({"totalComputePoints":250,"computePointsLeft":100})", 60, "Abacus AI compute points: 150 / 250"},
      {R"({"totalComputePoints":1500,"computePointsLeft":0})", 100, "Abacus AI compute points: 1,500 / 1,500"},
      {R"({"totalComputePoints":1000,"computePointsLeft":-500})", 100, "Abacus AI compute points: 1,500 / 1,000"},
      {R"({"totalComputePoints":0,"computePointsLeft":5})", 0, "Abacus AI compute points: -5 / 0"},
      {R"({"totalComputePoints":-10,"computePointsLeft":-20})", 0, "Abacus AI compute points: 10 / -10"},
      {R"({"totalComputePoints":100,"computePointsLeft":150})", 0, "Abacus AI compute points: -50 / 100"},
      {R"({"totalComputePoints":100.5,"computePointsLeft":88.25})", 12.189054726368159,
       "Abacus AI compute points: 12.2 / 100.5"},
      {R"({"totalComputePoints":true,"computePointsLeft":false})", 100, "Abacus AI compute points: 1 / 1"},
      {R"({"totalComputePoints":2e6,"computePointsLeft":1.5e6,"other":"x"})", 25,
       "Abacus AI compute points: 500,000 / 2,000,000"},
      {R"({"totalComputePoints":"250","computePointsLeft":100})", 0, ""},
      {R"({"totalComputePoints":250,"computePointsLeft":"100"})", 0, ""},
      {R"({"totalComputePoints":250})", 0, ""},
      {R"({"computePointsLeft":100})", 0, ""},
      {R"({"totalComputePoints":null,"computePointsLeft":100})", 0, ""},
      {R"({"totalComputePoints":[250],"computePointsLeft":100})", 0, ""},
      {"{}", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.points);
    try {
      const UsageData data = abacus::makeUsage(Json::parse(c.points), Json::object(), kNow);
      ASSERT_NE(c.note, "") << "mapped without failing";
      EXPECT_DOUBLE_EQ(data.used, c.used);
      EXPECT_EQ(data.limit, 100);
      EXPECT_EQ(data.note, c.note);
      EXPECT_EQ(data.resetAt, std::nullopt);
      EXPECT_TRUE(data.auxiliaryUsage.empty());
    } catch (const AbacusError& error) {
      EXPECT_EQ(c.note, "") << error.what();
      EXPECT_EQ(std::string(error.what()),
                "Failed to parse Abacus AI response: Missing credit fields in compute points response");
    }
  }
}

TEST(AbacusUsage, ReadsTheNextBillingDate) {
  struct Case {
    std::string billing;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {R"({"nextBillingDate":"2026-04-01T00:00:00Z"})", "2026-04-01T00:00:00Z"},
      {R"({"nextBillingDate":"2026-04-01T00:00:00.123Z"})", "2026-04-01T00:00:00.123Z"},
      {R"({"nextBillingDate":"2026-04-01T02:00:00+02:00"})", "2026-04-01T00:00:00Z"},
      {R"({"nextBillingDate":" 2026-04-01T00:00:00Z"})", std::nullopt},
      {R"({"nextBillingDate":"2026-04-01"})", std::nullopt},
      {R"({"nextBillingDate":"2026-02-30T00:00:00Z"})", std::nullopt},
      {R"({"nextBillingDate":1775001600})", std::nullopt},
      {R"({"nextBillingDate":null})", std::nullopt},
      {R"({"next_billing_date":"2026-04-01T00:00:00Z"})", std::nullopt},
      {"{}", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.billing);
    const UsageData data = abacus::makeUsage(Json::parse(R"({"totalComputePoints":2,"computePointsLeft":1})"),
                                             Json::parse(c.billing), kNow);
    EXPECT_EQ(data.resetAt, c.want ? std::optional(at(*c.want)) : std::nullopt);
    EXPECT_EQ(data.resetPeriod, ResetPeriod::monthly);
  }
}

TEST_F(AbacusTest, AFailedBillingRequestOnlyDropsTheResetDate) {
  struct Case {
    std::string name;
    std::function<void(testing::FakeTransport&)> script;
  };
  const Case cases[] = {
      {"status 500", [](auto& t) { t.respond(kBillingURL, 500, "oops"); }},
      {"status 401", [](auto& t) { t.respond(kBillingURL, 401, ""); }},
      {"not HTTP", [](auto& t) { t.respondNotHTTP(kBillingURL); }},
      {"not JSON", [](auto& t) { t.respond(kBillingURL, 200, "<html>"); }},
      {"failed envelope", [](auto& t) { t.respond(kBillingURL, 200, R"({"success":false,"error":"login"})"); }},
      {"transport", [](auto& t) { t.fail(kBillingURL, TransportError(TransportError::Kind::connection, "down")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld fresh{kNow};
    fresh.transport.respond(kPointsURL, 200, pointsBody(R"({"totalComputePoints":250,"computePointsLeft":100})"));
    c.script(fresh.transport);
    const UsageData data = AbacusService(fresh.context).fetchUsage("session=abc");
    EXPECT_EQ(data.used, 60);
    EXPECT_EQ(data.note, "Abacus AI compute points: 150 / 250");
    EXPECT_EQ(data.resetAt, std::nullopt);
  }
}

TEST_F(AbacusTest, ARequiredFailureCancelsAndJoinsTheBillingRequest) {
  std::atomic<bool> billingEnded{false};
  transport.handle(kBillingURL, [&](const HTTPRequest& request, std::stop_token stop) -> HTTPResponse {
    try {
      return testing::blockUntilCancelled()(request, stop);
    } catch (...) {
      // Give a late join a chance to show: the fetch must not throw before this returns.
      std::this_thread::sleep_for(20ms);
      billingEnded = true;
      throw;
    }
  });
  transport.respond(kPointsURL, 401, "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure(), kInvalidCredentials);
  EXPECT_TRUE(billingEnded);
  // Cancellation, not the blocking handler's own 10 s bound, ended the billing request.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(AbacusTest, StoppingTheFetchCancelsBothRequests) {
  transport.handle(kPointsURL, testing::blockUntilCancelled());
  transport.handle(kBillingURL, testing::blockUntilCancelled());
  std::stop_source source;
  std::thread stopper([&] {
    while (transport.requestCount() < 2) std::this_thread::sleep_for(1ms);
    source.request_stop();
  });
  try {
    service.fetchUsage("session=abc", source.get_token());
    ADD_FAILURE() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
  }
  stopper.join();
}

TEST(AbacusFormatCredits, FormatsLikeTheDecimalFormatter) {
  struct Case {
    double value;
    std::string want;
  };
  const Case cases[] = {
      {1500, "1,500"},
      {12.5, "12.5"},
      {12.25, "12.2"},
      {12.35, "12.4"},
      {0.15, "0.2"},
      {0.25, "0.2"},
      {40, "40"},
      {-5, "-5"},
      {-12.25, "-12.2"},
      {0, "0"},
      {-0.04, "0"},
      {12.04, "12"},
      {999.94, "999.9"},
      {999.95, "1,000"},
      {1000.5, "1,000"},
      {1001.5, "1,002"},
      {1234567.89, "1,234,568"},
      {-1234.5, "-1,234.5"},
      {1e20, "100,000,000,000,000,000,000"},
      {1e-7, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(abacus::formatCredits(c.value), c.want);
  }
}

}  // namespace
}  // namespace dapplewick
