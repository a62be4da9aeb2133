#include "providers/zai.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "common/json_read.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using testing::errorText;

const std::string kInternationalURL = "https://api.z.ai/api/monitor/usage/quota/limit";
const std::string kChinaURL = "https://open.bigmodel.cn/api/monitor/usage/quota/limit";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const std::optional<std::int64_t> none;

Timestamp at(long long ms) { return Timestamp{std::chrono::milliseconds{ms}}; }
std::string answer(const std::string& data) {
  return R"({"code":200,"msg":"ok","data":)" + data + R"(,"success":true})";
}
// A plan name under both keys: "planName" wins.
std::string limits(const std::string& list) {
  return answer(R"({"planName":"Pro","plan":"Lite","limits":[)" + list + "]}");
}
const std::string kOneWindow =
    limits(R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":250,"percentage":25})");

UsageData window(double used, std::optional<Timestamp> resetAt, ResetPeriod period, std::optional<std::string> note) {
  UsageData data = UsageData::blank(Provider::zai);
  data.used = used;
  data.limit = 100;
  data.resetAt = resetAt;
  data.resetPeriod = period;
  data.lastUpdated = kNow;
  data.note = std::move(note);
  return data;
}

TEST(ZaiService, SendsTheQuotaRequestExactlyAndNeedsAKey) {
  testing::ServiceWorld world(kNow);
  ZaiService service(world.context);
  EXPECT_EQ(errorText([&] { service.fetchUsage("web: \u00A0\r\n"); }), "Invalid z.ai API key");
  world.transport.respond(kInternationalURL, 200, kOneWindow);
  service.fetchUsage("api:  key-123\n");
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].url, kInternationalURL);
  EXPECT_EQ(requests[0].headers, (HTTPHeaders{{"authorization", "Bearer key-123"}, {"Accept", "application/json"},
                                              {"User-Agent", "Dapplewick/1.0"}}));
  EXPECT_FALSE(requests[0].body.has_value());
}

// Only a rejected key goes on to the China host; every other failure of the first host, a 200 answer that
// reports one or does not decode included, is final.
TEST(ZaiService, HostOrderAndFailures) {
  struct Case {
    int first;
    std::string body;
    int second;  // 0: never asked
    std::string want;
  };
  const std::vector<Case> cases = {
      {401, "", 200, "no error"},
      {401, "", 403, "Invalid z.ai API key"},
      {403, "", 500, "z.ai API error 500"},
      {500, "", 0, "z.ai API error 500"},
      {200, R"({"code":1001,"msg":"bad","success":false})", 0, "z.ai API error 1001"},
      {200, "", 0, "Unexpected response from z.ai"},
      {200, "<html>", 0, "the data is not valid JSON"},
      {200, R"({"code":200,"msg":"ok","data":null,"success":true})", 0, "Unexpected response from z.ai"},
      {200, R"({"code":200,"msg":"ok","data":{},"success":false})", 0, "z.ai API error 200"},
      {200, R"({"msg":"ok","success":true})", 0, "missing key \"code\""},
      {200, R"({"code":200,"success":true})", 0, "missing key \"msg\""},
      {200, R"({"code":200,"msg":"ok"})", 0, "missing key \"success\""},
      {200, R"({"code":200,"msg":"ok","data":[],"success":true})", 0, "expected an object at \"data\""},
      {200, answer(R"({"planName":7})"), 0, "expected a string at \"data.planName\""},
      {200, answer(R"({"planName":"Pro","plan":1})"), 0, "expected a string at \"data.plan\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + c.body);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kInternationalURL, c.first, c.body);
    if (c.second != 0) world.transport.respond(kChinaURL, c.second, c.second == 200 ? kOneWindow : "");
    EXPECT_EQ(errorText([&] { ZaiService(world.context).fetchUsage("key"); }), c.want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.second != 0 ? 2u : 1u);
    if (c.second != 0) {
      EXPECT_EQ(requests[1].headers, requests[0].headers);
    }
  }
}

// One limit the server wrote oddly empties the whole list but keeps the plan name.
TEST(ZaiDecodeQuotaResponse, LimitsListStandsOrFallsAsAWhole) {
  const std::string good = R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"percentage":10})";
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {good + "," + R"({"type":"X","unit":3.0,"number":5,"percentage":1e1})", 2},
      {good + R"(,{"type":"TOKENS_LIMIT","unit":3,"number":5})", 0},
      {good + R"(,{"type":"TIME_LIMIT","unit":3,"number":5.5,"percentage":1})", 0},
      {good + ",3", 0},
      {R"({"type":"T","unit":3,"number":9223372036854775808,"percentage":1})", 0},
  };
  for (const auto& [list, want] : cases) {
    const auto data = zai::decodeQuotaResponse(limits(list)).data.value();
    EXPECT_EQ(data.limits.size(), want) << list;
    EXPECT_EQ(data.planName, "Pro");
  }
}

ZaiLimitEntry classify(std::int64_t unit, std::int64_t number, std::optional<std::int64_t> usage = none,
                       std::optional<std::int64_t> current = none, std::optional<std::int64_t> remaining = none,
                       std::int64_t percentage = 0, std::optional<std::int64_t> resetMillis = none) {
  return ZaiService::classifyWindow({"TOKENS_LIMIT", unit, number, usage, current, remaining, percentage, resetMillis})
      .value();
}

TEST(ZaiClassifyWindow, UsedPercent) {
  struct Case {
    std::optional<std::int64_t> usage, current, remaining;
    std::int64_t percentage;
    double want;
  };
  const std::vector<Case> cases = {
      {1000, 250, none, 99, 25},  // current of the allowance
      {100, 90, 30, 0, 90},       // the larger of current and allowance less remaining
      {200, none, 50, 0, 75},    // remaining alone
      {100, none, 150, 0, 0},    // clamped at both ends
      {100, 400, none, 0, 100},
      {100, none, none, 42, 42},  // the server's percentage without figures, allowance or a positive allowance
      {0, 5, 5, 17, 17},
      {none, 5, 5, 130, 130},
      // Differences that leave 64 bits count as the whole allowance.
      {100, none, std::numeric_limits<std::int64_t>::min(), 0, 100},
      {kMax, 7, -2, 0, 100},
  };
  for (const auto& c : cases) {
    const auto entry = classify(3, 5, c.usage, c.current, c.remaining, c.percentage);
    EXPECT_DOUBLE_EQ(entry.usedPercent, c.want) << c.usage.value_or(-1) << " " << c.remaining.value_or(-1);
    EXPECT_EQ(entry.percentage, static_cast<double>(c.percentage));
  }
}

TEST(ZaiClassifyWindow, Windows) {
  struct Case {
    std::int64_t unit, number;
    std::optional<std::int64_t> minutes;
    std::optional<std::string> label;
  };
  const std::vector<Case> cases = {
      {5, 1, 1, "1 minute window"},   {5, 30, 30, "30 minutes window"}, {3, 5, 300, "5 hours window"},
      {1, 7, 10080, "7 days window"}, {6, 2, 20160, "2 weeks window"},  {2, 5, none, {}},
      {3, 0, none, {}},               {5, kMax, kMax, std::to_string(kMax) + " minutes window"},
      // Lengths whose minutes leave 64 bits are treated like an unknown unit.
      {3, kMax / 60 + 1, none, {}},   {6, kMax, none, {}},
  };
  for (const auto& c : cases) {
    const auto entry = classify(c.unit, c.number);
    EXPECT_EQ(entry.windowMinutes, c.minutes) << c.unit << " x " << c.number;
    EXPECT_EQ(entry.windowLabel, c.label) << c.unit << " x " << c.number;
  }
  // Reset instants outside the years 1970–9999 are dropped, not wrapped.
  EXPECT_EQ(classify(3, 5, none, none, none, 0, kMax).nextResetTime, std::nullopt);
}

ZaiLimitEntry entry(std::optional<std::int64_t> minutes, double usedPercent = 0) {
  ZaiLimitEntry e;
  e.windowMinutes = minutes;
  e.usedPercent = usedPercent;
  return e;
}

// Long enough that an unstable sort would reorder equal keys.
TEST(ZaiSortTokenLimits, ShortestFirstStableAndWindowlessLast) {
  const std::vector<std::optional<std::int64_t>> pattern = {300, none, 60, 300, 10080, none};
  std::vector<ZaiLimitEntry> entries;
  for (int i = 0; i < 120; ++i) entries.push_back(entry(pattern[i % pattern.size()], i));
  ZaiService::sortTokenLimits(entries);
  const auto key = [](const ZaiLimitEntry& e) {
    return std::tuple(!e.windowMinutes, e.windowMinutes.value_or(0), e.usedPercent);
  };
  for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LT(key(entries[i - 1]), key(entries[i])) << i;
}

TEST(ZaiResetPeriodForWindow, Bounds) {
  using enum ResetPeriod;
  EXPECT_EQ(ZaiService::resetPeriodForWindow(std::nullopt), monthly);
  const std::vector<std::pair<std::optional<std::int64_t>, ResetPeriod>> cases = {
      {none, window}, {59, window}, {60, daily}, {1439, daily}, {1440, weekly}, {10079, weekly}, {10080, monthly}};
  for (const auto& [minutes, want] : cases) {
    EXPECT_EQ(ZaiService::resetPeriodForWindow(entry(minutes)), want) << minutes.value_or(-1);
  }
}

UsageData mapped(const std::string& body) { return ZaiService::makeUsageData(zai::readQuotaAnswer(body), kNow); }

TEST(ZaiMakeUsageData, ShortestTokenWindowLeadsLongerOnesFollowAndTheTimeLimitIsNoted) {
  UsageData want = window(25, at(1767225600000), ResetPeriod::daily, "Pro \u00B7 Monthly: 7% used");
  want.auxiliaryUsage = {window(10, at(1767830400000), ResetPeriod::monthly, "1 week window")};
  EXPECT_EQ(mapped(limits(R"({"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,)"
                          R"("nextResetTime":1767830400000},{"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
                          R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"usage":1000,"currentValue":200,)"
                          R"("remaining":750,"percentage":99,"nextResetTime":1767225600000,"extra":"x"})")),
            want);

  // Without a token window the time limit leads; its note is rounded.
  EXPECT_EQ(mapped(limits(R"({"type":"TIME_LIMIT","unit":5,"number":1,"usage":1000,"currentValue":495,)"
                          R"("percentage":0,"nextResetTime":1767225600000})")),
            window(49.5, at(1767225600000), ResetPeriod::window, "Pro \u00B7 1 minute window: 50% used"));

  // The last time limit wins; token limits without a window (unknown unit, overflowing length) sort last.
  want = window(20, std::nullopt, ResetPeriod::window, "Pro \u00B7 30 days window: 8% used");
  want.auxiliaryUsage = {window(60, std::nullopt, ResetPeriod::window, std::nullopt),
                         window(1, std::nullopt, ResetPeriod::window, std::nullopt)};
  EXPECT_EQ(mapped(limits(R"({"type":"TIME_LIMIT","unit":1,"number":1,"percentage":5},)"
                          R"({"type":"TOKENS_LIMIT","unit":2,"number":1,"percentage":60},)"
                          R"({"type":"TOKENS_LIMIT","unit":6,"number":9223372036854775807,"percentage":1},)"
                          R"({"type":"TOKENS_LIMIT","unit":5,"number":30,"percentage":20},)"
                          R"({"type":"TIME_LIMIT","unit":1,"number":30,"percentage":8})")),
            want);

  // Limit types are matched exactly; with none known the record is empty but for the plan.
  want = UsageData::blank(Provider::zai);
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = kNow;
  want.note = "Pro";
  EXPECT_EQ(mapped(limits(R"({"type":"tokens_limit","unit":3,"number":5,"percentage":3})")), want);
  want.note = "Lite";
  EXPECT_EQ(mapped(answer(R"({"planName":null,"plan":"Lite"})")), want);
}

}  // namespace
}  // namespace dapplewick
