#include "providers/zai.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "providers/json_read.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;

const std::string kInternationalURL = "https://api.z.ai/api/monitor/usage/quota/limit";
const std::string kChinaURL = "https://open.bigmodel.cn/api/monitor/usage/quota/limit";
const Timestamp kNow{milliseconds{1'760'000'000'000}};
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Timestamp at(long long ms) { return Timestamp{milliseconds{ms}}; }

// A successful answer holding `limits` (a JSON array text) and the extra members of "data".
std::string quotaBody(const std::string& limits, const std::string& extra = "") {
  std::string data = "{\"limits\":" + limits;
  if (!extra.empty()) data += "," + extra;
  data += "}";
  return R"({"code":200,"msg":"ok","data":)" + data + R"(,"success":true})";
}

const std::string kOneWindow = R"([{"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,)"
                               R"("percentage":25,"nextResetTime":1767225600000}])";

class ZaiServiceTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  testing::FakeTransport& transport = world.transport;
  ZaiService service{world.context};

  std::string errorOf(std::string_view credential) {
    return testing::errorText([&] { service.fetchUsage(credential); });
  }
};

// ---- Requests and credentials ----

TEST_F(ZaiServiceTest, SendsTheQuotaRequestExactly) {
  transport.respond(kInternationalURL, 200, quotaBody(kOneWindow));
  service.fetchUsage("api:  key-123\n");

  const auto requests = transport.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].url, kInternationalURL);
  const HTTPHeaders want{{"authorization", "Bearer key-123"}, {"Accept", "application/json"},
                         {"User-Agent", "Dapplewick/1.0"}};
  EXPECT_EQ(requests[0].headers, want);
  EXPECT_FALSE(requests[0].body.has_value());
  EXPECT_EQ(requests[0].timeout, milliseconds{60'000});
}

TEST_F(ZaiServiceTest, EmptyCredentialFailsBeforeAnyRequest) {
  for (const char* credential : {"web:", "api:", "  \n\t", "", "web: \u00A0\r\n"}) {
    SCOPED_TRACE(credential);
    EXPECT_EQ(errorOf(credential), "Invalid z.ai API key");
  }
  EXPECT_EQ(transport.requestCount(), 0u);
}

TEST_F(ZaiServiceTest, CredentialThatLooksLikeACookieIsUsedAsTheKey) {
  transport.respond(kInternationalURL, 200, quotaBody(kOneWindow));
  service.fetchUsage("session=abc; cookie");
  EXPECT_EQ(transport.requests().at(0).headers.get("authorization"), "Bearer session=abc; cookie");
}

TEST_F(ZaiServiceTest, ConfiguredOriginsAreUsed) {
  const Origins configured(std::map<std::string, std::string>{{"zai.international", "http://127.0.0.1:1000"},
                                                               {"zai.china", "http://127.0.0.1:2000"}});
  ZaiService local(ServiceContext{transport, world.clock, world.environment, configured});
  transport.respond("http://127.0.0.1:1000/api/monitor/usage/quota/limit", 401, "");
  transport.respond("http://127.0.0.1:2000/api/monitor/usage/quota/limit", 200, quotaBody(kOneWindow));
  EXPECT_EQ(local.fetchUsage("key").used, 25);
  EXPECT_EQ(transport.requestCount(), 2u);
}

// ---- Host order ----

TEST_F(ZaiServiceTest, RejectedKeyAsksTheChinaHostWithTheSameRequest) {
  transport.respond(kInternationalURL, 401, "");
  transport.respond(kChinaURL, 200, quotaBody(kOneWindow));

  const UsageData data = service.fetchUsage("key");
  EXPECT_EQ(data.used, 25);
  const auto requests = transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, kInternationalURL);
  EXPECT_EQ(requests[1].url, kChinaURL);
  EXPECT_EQ(requests[1].method, requests[0].method);
  EXPECT_EQ(requests[1].headers, requests[0].headers);
  EXPECT_FALSE(requests[1].body.has_value());
}

TEST_F(ZaiServiceTest, ChinaHostDecidesTheOutcomeAfterARejection) {
  struct Case {
    int firstStatus;
    int secondStatus;
    std::string want;
  };
  const std::vector<Case> cases = {
      {401, 403, "Invalid z.ai API key"},
      {403, 401, "Invalid z.ai API key"},
      {403, 500, "z.ai API error 500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld local(kNow);
    ZaiService fresh(local.context);
    local.transport.respond(kInternationalURL, c.firstStatus, "");
    local.transport.respond(kChinaURL, c.secondStatus, "");
    EXPECT_EQ(testing::errorText([&] { fresh.fetchUsage("key"); }), c.want);
    EXPECT_EQ(local.transport.requestCount(), 2u);
  }
}

TEST_F(ZaiServiceTest, OtherFailuresOfTheFirstHostAreFinal) {
  struct Case {
    std::string name;
    std::function<void(testing::FakeTransport&)> script;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"status 500", [](auto& t) { t.respond(kInternationalURL, 500, "busy"); }, "z.ai API error 500"},
      {"status 204", [](auto& t) { t.respond(kInternationalURL, 204, ""); }, "z.ai API error 204"},
      {"status 429", [](auto& t) { t.respond(kInternationalURL, 429, ""); }, "z.ai API error 429"},
      {"failure code in a 200 answer",
       [](auto& t) { t.respond(kInternationalURL, 200, R"({"code":1001,"msg":"bad","success":false})"); },
       "z.ai API error 1001"},
      {"not HTTP", [](auto& t) { t.respondNotHTTP(kInternationalURL); }, "Unexpected response from z.ai"},
      {"empty 200 body", [](auto& t) { t.respond(kInternationalURL, 200, ""); }, "Unexpected response from z.ai"},
      {"transport error",
       [](auto& t) {
         t.fail(kInternationalURL, TransportError(TransportError::Kind::timeout, "The request timed out."));
       },
       "The request timed out."},
      {"undecodable body", [](auto& t) { t.respond(kInternationalURL, 200, "<html>"); },
       "the data is not valid JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld local(kNow);
    ZaiService fresh(local.context);
    c.script(local.transport);
    EXPECT_EQ(testing::errorText([&] { fresh.fetchUsage("key"); }), c.want);
    EXPECT_EQ(local.transport.requestCount(), 1u);
  }
}

TEST_F(ZaiServiceTest, TransportAndDecodingErrorsKeepTheirType) {
  transport.fail(kInternationalURL, TransportError(TransportError::Kind::connection, "offline"));
  EXPECT_THROW(service.fetchUsage("key"), TransportError);
  transport.respond(kInternationalURL, 200, R"({"code":200,"success":true})");
  EXPECT_THROW(service.fetchUsage("key"), DecodingError);
}

// ---- Reading the answer ----

TEST(ZaiReadQuotaAnswer, FailuresOfA200Answer) {
  struct Case {
    std::string name;
    std::string body;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"empty", "", "Unexpected response from z.ai"},
      {"no data", R"({"code":200,"msg":"ok","success":true})", "Unexpected response from z.ai"},
      {"null data", R"({"code":200,"msg":"ok","data":null,"success":true})", "Unexpected response from z.ai"},
      {"success false", R"({"code":200,"msg":"ok","data":{"limits":[]},"success":false})", "z.ai API error 200"},
      {"other code", R"({"code":500,"msg":"x","data":{"limits":[]},"success":true})", "z.ai API error 500"},
      {"not JSON", "Service Unavailable", "the data is not valid JSON"},
      {"array", "[]", "expected an object at the top level"},
      {"missing code", R"({"msg":"ok","success":true})", "missing key \"code\""},
      {"fractional code", R"({"code":200.5,"msg":"ok","success":true})", "expected an integer at \"code\""},
      {"missing msg", R"({"code":200,"success":true})", "missing key \"msg\""},
      {"null msg", R"({"code":200,"msg":null,"success":true})", "missing key \"msg\""},
      {"numeric msg", R"({"code":200,"msg":1,"success":true})", "expected a string at \"msg\""},
      {"missing success", R"({"code":200,"msg":"ok"})", "missing key \"success\""},
      {"success as text", R"({"code":200,"msg":"ok","success":"true"})", "expected a boolean at \"success\""},
      {"success as number", R"({"code":200,"msg":"ok","success":1})", "expected a boolean at \"success\""},
      {"data not an object", R"({"code":200,"msg":"ok","data":[],"success":true})",
       "expected an object at \"data\""},
      {"numeric planName", R"({"code":200,"msg":"ok","data":{"planName":7},"success":true})",
       "expected a string at \"data.planName\""},
      {"numeric plan", R"({"code":200,"msg":"ok","data":{"plan":true},"success":true})",
       "expected a string at \"data.plan\""},
      {"numeric plan beside a name", R"({"code":200,"msg":"ok","data":{"planName":"Pro","plan":1},"success":true})",
       "expected a string at \"data.plan\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(testing::errorText([&] { zai::readQuotaAnswer(c.body); }), c.want);
  }
}

TEST(ZaiReadQuotaAnswer, PlanNameComesFromPlanNameThenPlan) {
  struct Case {
    std::string data;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {R"({"planName":"Pro","plan":"Lite"})", "Pro"},
      {R"({"planName":null,"plan":"Lite"})", "Lite"},
      {R"({"plan":"Lite"})", "Lite"},
      {R"({"planName":""})", ""},
      {R"({})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    const auto snapshot = zai::readQuotaAnswer(R"({"code":200,"msg":"","data":)" + c.data + R"(,"success":true})");
    EXPECT_EQ(snapshot.planName, c.want);
  }
}

TEST(ZaiDecodeQuotaResponse, LimitsListStandsOrFallsAsAWhole) {
  const std::string good = R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"percentage":10})";
  struct Case {
    std::string name;
    std::string limits;  // the "limits" member, or "" for none
    std::size_t want;
  };
  const std::vector<Case> cases = {
      {"absent", "", 0},
      {"null", R"("limits":null)", 0},
      {"not a list", R"("limits":{"a":1})", 0},
      {"two good", R"("limits":[)" + good + "," + good + "]", 2},
      {"integral float accepted", R"("limits":[{"type":"X","unit":3.0,"number":5,"percentage":1e1}])", 1},
      {"one without percentage", R"("limits":[)" + good + R"(,{"type":"TOKENS_LIMIT","unit":3,"number":5}])", 0},
      {"one fractional", R"("limits":[)" + good + R"(,{"type":"TIME_LIMIT","unit":3,"number":5.5,"percentage":1}])",
       0},
      {"one with text percentage", R"("limits":[{"type":"T","unit":3,"number":5,"percentage":"10"},)" + good + "]",
       0},
      {"one not an object", R"("limits":[)" + good + ",3]", 0},
      {"one with numeric type", R"("limits":[{"type":1,"unit":3,"number":5,"percentage":10}])", 0},
      {"one with null required", R"("limits":[{"type":"T","unit":null,"number":5,"percentage":10}])", 0},
      {"one beyond 64 bits", R"("limits":[{"type":"T","unit":3,"number":9223372036854775808,"percentage":1}])", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body =
        R"({"code":200,"msg":"ok","data":{)" + c.limits + (c.limits.empty() ? "" : ",") +
        R"("planName":"Pro"},"success":true})";
    const auto response = zai::decodeQuotaResponse(body);
    ASSERT_TRUE(response.data.has_value());
    EXPECT_EQ(response.data->limits.size(), c.want);
    EXPECT_EQ(response.data->planName, "Pro");
  }
}

TEST(ZaiDecodeQuotaResponse, ReadsEveryFieldOfALimit) {
  const auto response = zai::decodeQuotaResponse(
      R"({"code":200,"msg":"ok","data":{"limits":[{"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,)"
      R"("currentValue":250,"remaining":750,"percentage":25,"nextResetTime":1767225600000,"extra":"x"},)"
      R"({"type":"TIME_LIMIT","unit":5,"number":1,"usage":null,"percentage":0}]},"success":true})");
  ASSERT_TRUE(response.data.has_value());
  const std::vector<ZaiLimitRaw> want = {
      {"TOKENS_LIMIT", 3, 5, 1000, 250, 750, 25, 1767225600000},
      {"TIME_LIMIT", 5, 1, std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt},
  };
  EXPECT_EQ(response.data->limits, want);
  EXPECT_EQ(response.code, 200);
  EXPECT_EQ(response.msg, "ok");
  EXPECT_TRUE(response.success);
}

// ---- Classification ----

ZaiLimitRaw tokens(std::int64_t unit, std::int64_t number, std::int64_t percentage = 0) {
  ZaiLimitRaw raw;
  raw.type = "TOKENS_LIMIT";
  raw.unit = unit;
  raw.number = number;
  raw.percentage = percentage;
  return raw;
}

TEST(ZaiClassifyWindow, TypesAreMatchedExactly) {
  EXPECT_EQ(ZaiService::classifyWindow(tokens(3, 5))->type, ZaiLimitTypeLocal::tokensLimit);
  ZaiLimitRaw raw = tokens(3, 5);
  raw.type = "TIME_LIMIT";
  EXPECT_EQ(ZaiService::classifyWindow(raw)->type, ZaiLimitTypeLocal::timeLimit);
  for (const char* type : {"tokens_limit", "TOKENS_LIMIT ", "", "REQUEST_LIMIT"}) {
    SCOPED_TRACE(type);
    raw.type = type;
    EXPECT_FALSE(ZaiService::classifyWindow(raw).has_value());
  }
}

TEST(ZaiClassifyWindow, UsedPercent) {
  struct Case {
    std::string name;
    std::optional<std::int64_t> usage, currentValue, remaining;
    std::int64_t percentage;
    double want;
  };
  const std::vector<Case> cases = {
      {"current value of the allowance", 1000, 250, std::nullopt, 99, 25},
      {"the larger of left-derived and current", 100, 90, 30, 0, 90},
      {"left-derived larger than current", 100, 10, 30, 0, 70},
      {"remaining alone", 200, std::nullopt, 50, 0, 75},
      {"remaining above the allowance clamps to 0", 100, std::nullopt, 150, 0, 0},
      {"current above the allowance clamps to 100", 100, 400, std::nullopt, 0, 100},
      {"negative current clamps to 0", 100, -5, std::nullopt, 0, 0},
      {"allowance without figures uses the percentage", 100, std::nullopt, std::nullopt, 42, 42},
      {"allowance below 1 uses the percentage", 0, 5, 5, 17, 17},
      {"negative allowance uses the percentage", -10, 5, 5, 17, 17},
      {"no allowance: percentage not clamped", std::nullopt, 5, 5, 130, 130},
      {"negative percentage not clamped", std::nullopt, std::nullopt, std::nullopt, -3, -3},
      // A remaining so far below zero that the difference leaves 64 bits is far beyond the allowance.
      {"difference beyond 64 bits is the whole allowance", 100, std::nullopt,
       std::numeric_limits<std::int64_t>::min(), 0, 100},
      {"difference beyond 64 bits beside a current value", kMax, 7, -2, 0, 100},
      {"largest allowance, nothing left", kMax, std::nullopt, 0, 0, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZaiLimitRaw raw = tokens(3, 5, c.percentage);
    raw.usage = c.usage;
    raw.currentValue = c.currentValue;
    raw.remaining = c.remaining;
    const auto entry = ZaiService::classifyWindow(raw);
    ASSERT_TRUE(entry.has_value());
    EXPECT_DOUBLE_EQ(entry->usedPercent, c.want);
    EXPECT_EQ(entry->percentage, static_cast<double>(c.percentage));
  }
}

TEST(ZaiClassifyWindow, Windows) {
  struct Case {
    std::int64_t unit, number;
    std::optional<std::int64_t> minutes;
    std::optional<std::string> label;
  };
  const std::vector<Case> cases = {
      {5, 1, 1, "1 minute window"},
      {5, 30, 30, "30 minutes window"},
      {3, 1, 60, "1 hour window"},
      {3, 5, 300, "5 hours window"},
      {1, 1, 1440, "1 day window"},
      {1, 7, 10080, "7 days window"},
      {6, 1, 10080, "1 week window"},
      {6, 2, 20160, "2 weeks window"},
      {2, 5, std::nullopt, std::nullopt},
      {4, 1, std::nullopt, std::nullopt},
      {3, 0, std::nullopt, std::nullopt},
      {3, -1, std::nullopt, std::nullopt},
      {5, kMax, kMax, std::to_string(kMax) + " minutes window"},
      {3, kMax / 60, kMax / 60 * 60, std::to_string(kMax / 60) + " hours window"},
      // Lengths whose minutes leave 64 bits are treated like an unknown unit.
      {3, kMax / 60 + 1, std::nullopt, std::nullopt},
      {1, kMax / 1440 + 1, std::nullopt, std::nullopt},
      {6, kMax, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.unit) + " x " + std::to_string(c.number));
    const auto entry = ZaiService::classifyWindow(tokens(c.unit, c.number));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->windowMinutes, c.minutes);
    EXPECT_EQ(entry->windowLabel, c.label);
    EXPECT_EQ(entry->unit, c.unit);
    EXPECT_EQ(entry->number, c.number);
  }
}

TEST(ZaiClassifyWindow, ResetTimeIsMillisecondsAndNeverOverflows) {
  struct Case {
    std::optional<std::int64_t> millis;
    std::optional<Timestamp> want;
  };
  const std::vector<Case> cases = {
      {1767225600000, at(1767225600000)},
      {1767225600123, at(1767225600123)},
      {0, at(0)},
      {std::nullopt, std::nullopt},
      {-1000, std::nullopt},
      {kMax, std::nullopt},
      {std::numeric_limits<std::int64_t>::min(), std::nullopt},
      {253402300800000, std::nullopt},  // 10000-01-01
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.millis ? std::to_string(*c.millis) : "none");
    ZaiLimitRaw raw = tokens(3, 5);
    raw.nextResetTime = c.millis;
    EXPECT_EQ(ZaiService::classifyWindow(raw)->nextResetTime, c.want);
  }
}

// ---- Ordering and periods ----

ZaiLimitEntry entry(std::optional<std::int64_t> minutes, double usedPercent) {
  ZaiLimitEntry e;
  e.windowMinutes = minutes;
  e.usedPercent = usedPercent;
  return e;
}

TEST(ZaiSortTokenLimits, ShortestFirstStableAndWindowlessLast) {
  std::vector<ZaiLimitEntry> entries = {entry(std::nullopt, 1), entry(10080, 2), entry(300, 3),
                                        entry(std::nullopt, 4), entry(300, 5), entry(1, 6)};
  ZaiService::sortTokenLimits(entries);
  std::vector<double> order;
  for (const auto& e : entries) order.push_back(e.usedPercent);
  EXPECT_EQ(order, (std::vector<double>{6, 3, 5, 2, 1, 4}));
}

TEST(ZaiSortTokenLimits, ManyEqualWindowsKeepTheirOrder) {
  // Long enough that a sort which is not stable would reorder equal keys.
  const std::vector<std::optional<std::int64_t>> pattern = {300, std::nullopt, 60, 300, 10080, std::nullopt};
  std::vector<ZaiLimitEntry> entries;
  for (int i = 0; i < 120; ++i) entries.push_back(entry(pattern[i % pattern.size()], i));
  ZaiService::sortTokenLimits(entries);
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const auto& before = entries[i - 1];
    const auto& after = entries[i];
    SCOPED_TRACE(i);
    if (before.windowMinutes == after.windowMinutes) {
      EXPECT_LT(before.usedPercent, after.usedPercent);
    } else {
      EXPECT_TRUE(before.windowMinutes.has_value());
      if (after.windowMinutes) {
        EXPECT_LT(*before.windowMinutes, *after.windowMinutes);
      }
    }
  }
}

TEST(ZaiResetPeriodForWindow, Bounds) {
  struct Case {
    std::optional<ZaiLimitEntry> entry;
    ResetPeriod want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, ResetPeriod::monthly},     {entry(std::nullopt, 0), ResetPeriod::window},
      {entry(1, 0), ResetPeriod::window},       {entry(59, 0), ResetPeriod::window},
      {entry(60, 0), ResetPeriod::daily},       {entry(300, 0), ResetPeriod::daily},
      {entry(1439, 0), ResetPeriod::daily},     {entry(1440, 0), ResetPeriod::weekly},
      {entry(10079, 0), ResetPeriod::weekly},   {entry(10080, 0), ResetPeriod::monthly},
      {entry(kMax, 0), ResetPeriod::monthly},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry ? (c.entry->windowMinutes ? std::to_string(*c.entry->windowMinutes) : "no window")
                         : "no entry");
    EXPECT_EQ(ZaiService::resetPeriodForWindow(c.entry), c.want);
  }
}

// ---- Mapping ----

TEST_F(ZaiServiceTest, ShortestTokenWindowLeadsLongerOnesFollowAndTheTimeLimitIsNoted) {
  transport.respond(
      kInternationalURL, 200,
      quotaBody(R"([{"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)"
                R"({"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
                R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"percentage":99,)"
                R"("nextResetTime":1767225600000}])",
                R"("planName":"Pro")"));

  UsageData want = UsageData::blank(Provider::zai);
  want.used = 25;
  want.limit = 100;
  want.resetAt = at(1767225600000);
  want.resetPeriod = ResetPeriod::daily;
  want.lastUpdated = kNow;
  want.note = "Pro \u00B7 Monthly: 7% used";
  UsageData weekly = UsageData::blank(Provider::zai);
  weekly.used = 10;
  weekly.limit = 100;
  weekly.resetAt = at(1767830400000);
  weekly.resetPeriod = ResetPeriod::monthly;
  weekly.lastUpdated = kNow;
  weekly.note = "1 week window";
  want.auxiliaryUsage = {weekly};

  EXPECT_EQ(service.fetchUsage("key"), want);
}

TEST_F(ZaiServiceTest, NoWindowsGiveAnEmptyRecordWithThePlanNote) {
  struct Case {
    std::string body;
    std::optional<std::string> note;
  };
  const std::vector<Case> cases = {
      {quotaBody("[]", R"("planName":"Lite")"), "Lite"},
      {quotaBody("[]"), std::nullopt},
      {quotaBody(R"([{"type":"TOKENS_LIMIT","unit":3,"number":5}])", R"("plan":"Max")"), "Max"},
      {quotaBody(R"([{"type":"OTHER","unit":3,"number":5,"percentage":3}])"), std::nullopt},
      {quotaBody("[]", R"("planName":"")"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    transport.respond(kInternationalURL, 200, c.body);
    UsageData want = UsageData::blank(Provider::zai);
    want.resetPeriod = ResetPeriod::monthly;
    want.lastUpdated = kNow;
    want.note = c.note;
    EXPECT_EQ(service.fetchUsage("key"), want);
  }
}

TEST(ZaiMakeUsageData, TimeLimitLeadsWhenThereIsNoTokenWindow) {
  ZaiLimitEntry time = entry(std::nullopt, 42.3);
  time.type = ZaiLimitTypeLocal::timeLimit;
  time.nextResetTime = at(1767225600000);
  ZaiSnapshot snapshot;
  snapshot.timeLimit = time;

  const UsageData data = ZaiService::makeUsageData(snapshot, kNow);
  EXPECT_DOUBLE_EQ(data.used, 42.3);
  EXPECT_EQ(data.limit, 100);
  EXPECT_EQ(data.resetAt, at(1767225600000));
  EXPECT_EQ(data.resetPeriod, ResetPeriod::window);
  EXPECT_EQ(data.note, "Monthly: 42% used");
  EXPECT_TRUE(data.auxiliaryUsage.empty());
  EXPECT_EQ(data.id, Provider::zai);
  EXPECT_EQ(data.provider, Provider::zai);
  EXPECT_FALSE(data.error.has_value());
  EXPECT_FALSE(data.isLoading);
}

TEST(ZaiMakeUsageData, TimeLimitNoteUsesItsWindowAndRoundsThePercent) {
  struct Case {
    std::optional<std::string> label;
    double percent;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"1 day window", 49.5, "1 day window: 50% used"},
      {std::nullopt, 0.4, "Monthly: 0% used"},
      {std::nullopt, 100, "Monthly: 100% used"},
      {"5 hours window", 130, "5 hours window: 130% used"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    ZaiSnapshot snapshot;
    snapshot.shortestTokenLimit = entry(300, 5);
    snapshot.timeLimit = entry(std::nullopt, c.percent);
    snapshot.timeLimit->windowLabel = c.label;
    EXPECT_EQ(ZaiService::makeUsageData(snapshot, kNow).note, c.want);
  }
}

TEST_F(ZaiServiceTest, LastTimeLimitWinsAndWindowlessTokenLimitSortsLast) {
  transport.respond(kInternationalURL, 200,
                    quotaBody(R"([{"type":"TIME_LIMIT","unit":1,"number":1,"percentage":5},)"
                              R"({"type":"TOKENS_LIMIT","unit":2,"number":1,"percentage":60},)"
                              R"({"type":"TOKENS_LIMIT","unit":5,"number":30,"percentage":20},)"
                              R"({"type":"TIME_LIMIT","unit":1,"number":30,"percentage":8}])"));
  const UsageData data = service.fetchUsage("key");
  EXPECT_EQ(data.used, 20);
  EXPECT_EQ(data.resetPeriod, ResetPeriod::window);
  EXPECT_EQ(data.note, "30 days window: 8% used");
  ASSERT_EQ(data.auxiliaryUsage.size(), 1u);
  EXPECT_EQ(data.auxiliaryUsage[0].used, 60);
  EXPECT_EQ(data.auxiliaryUsage[0].resetPeriod, ResetPeriod::window);
  EXPECT_FALSE(data.auxiliaryUsage[0].note.has_value());
}

TEST_F(ZaiServiceTest, OnlyWindowlessTokenLimitIsStillTheMainRecord) {
  transport.respond(kInternationalURL, 200,
                    quotaBody(R"([{"type":"TOKENS_LIMIT","unit":2,"number":1,"percentage":60}])"));
  const UsageData data = service.fetchUsage("key");
  EXPECT_EQ(data.used, 60);
  EXPECT_EQ(data.limit, 100);
  EXPECT_EQ(data.resetPeriod, ResetPeriod::window);
  EXPECT_FALSE(data.note.has_value());
  EXPECT_TRUE(data.auxiliaryUsage.empty());
}

TEST_F(ZaiServiceTest, OverflowingWindowSortsAfterRealWindows) {
  transport.respond(kInternationalURL, 200,
                    quotaBody(R"([{"type":"TOKENS_LIMIT","unit":6,"number":9223372036854775807,"percentage":1},)"
                              R"({"type":"TOKENS_LIMIT","unit":6,"number":4,"percentage":2}])"));
  const UsageData data = service.fetchUsage("key");
  EXPECT_EQ(data.used, 2);
  EXPECT_EQ(data.resetPeriod, ResetPeriod::monthly);
  ASSERT_EQ(data.auxiliaryUsage.size(), 1u);
  EXPECT_EQ(data.auxiliaryUsage[0].used, 1);
  EXPECT_FALSE(data.auxiliaryUsage[0].note.has_value());
}

}  // namespace
}  // namespace dapplewick
