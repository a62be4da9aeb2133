#include "providers/zai.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

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

TEST(ZaiService, AsksTheChinaHostAsItAskedTheFirstWhenTheKeyIsRejected) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kInternationalURL, 401, "");
  world.transport.respond(kChinaURL, 200, kOneWindow);
  ZaiService(world.context).fetchUsage("api:  key-123\n");
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string rest =
      " (60000 ms)\nauthorization: Bearer key-123\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  EXPECT_EQ(testing::requestText(requests[0]), "GET https://api.z.ai/api/monitor/usage/quota/limit" + rest);
  EXPECT_EQ(testing::requestText(requests[1]), "GET https://open.bigmodel.cn/api/monitor/usage/quota/limit" + rest);
}

// Only a rejected key goes on to the China host; every other failure of the first host, a 200 answer that
// reports one or does not decode included, is final.
TEST(ZaiService, HostOrderAndFailures) {
  const std::vector<std::tuple<int, std::string, int, std::string>> cases = {  // second 0: never asked
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
      {200, answer(R"({"planName":7})"), 0, "expected a string at \"data.planName\""},
      {200, answer(R"({"planName":"Pro","plan":1})"), 0, "expected a string at \"data.plan\""},
  };
  for (const auto& [first, body, second, want] : cases) {
    SCOPED_TRACE(std::to_string(first) + body);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kInternationalURL, first, body);
    if (second != 0) world.transport.respond(kChinaURL, second, second == 200 ? kOneWindow : "");
    EXPECT_EQ(testing::errorText([&] { ZaiService(world.context).fetchUsage("key"); }), want);
    EXPECT_EQ(world.transport.requestCount(), second != 0 ? 2u : 1u);
  }
}

zai::LimitEntry classify(std::int64_t unit, std::int64_t number, std::optional<std::int64_t> usage = none,
                         std::optional<std::int64_t> current = none, std::optional<std::int64_t> remaining = none,
                         std::int64_t percentage = 0) {
  return zai::classifyWindow({"TOKENS_LIMIT", unit, number, usage, current, remaining, percentage, none}).value();
}

TEST(ZaiClassifyWindow, UsedPercent) {
  using Figure = std::optional<std::int64_t>;
  const std::vector<std::tuple<Figure, Figure, Figure, std::int64_t, double>> cases = {
      // usage, currentValue, remaining, percentage: the share shown
      // Current of the allowance; the larger of current and allowance less remaining; remaining alone.
      {1000, 250, none, 99, 25}, {100, 90, 30, 0, 90}, {200, none, 50, 0, 75},
      // Clamped at both ends.
      {100, none, 150, 0, 0}, {100, 400, none, 0, 100},
      // The server's percentage without figures, without an allowance or without a positive one.
      {100, none, none, 42, 42}, {0, 5, 5, 17, 17}, {none, 5, 5, 130, 130},
      // Differences that leave 64 bits count as the whole allowance.
      {100, none, std::numeric_limits<std::int64_t>::min(), 0, 100}, {kMax, 7, -2, 0, 100},
  };
  for (const auto& [usage, current, remaining, percentage, want] : cases) {
    const auto entry = classify(3, 5, usage, current, remaining, percentage);
    EXPECT_DOUBLE_EQ(entry.usedPercent, want) << usage.value_or(-1) << " " << remaining.value_or(-1);
    EXPECT_EQ(entry.percentage, static_cast<double>(percentage));
  }
}

TEST(ZaiClassifyWindow, Windows) {
  const std::vector<std::tuple<std::int64_t, std::int64_t, std::optional<std::int64_t>, std::optional<std::string>>>
      cases = {
      {5, 1, 1, "1 minute window"},   {5, 30, 30, "30 minutes window"}, {3, 5, 300, "5 hours window"},
      {1, 7, 10080, "7 days window"}, {6, 2, 20160, "2 weeks window"},  {2, 5, none, {}},
      {3, 0, none, {}},               {5, kMax, kMax, std::to_string(kMax) + " minutes window"},
      // Lengths whose minutes leave 64 bits are treated like an unknown unit.
      {3, kMax / 60 + 1, none, {}},   {6, kMax, none, {}},
  };
  for (const auto& [unit, number, minutes, label] : cases) {
    const auto entry = classify(unit, number);
    EXPECT_EQ(entry.windowMinutes, minutes) << unit << " x " << number;
    EXPECT_EQ(entry.windowLabel, label) << unit << " x " << number;
  }
}

// A token limit of `minutes` minutes, or of an unknown unit without them.
zai::LimitEntry entry(std::optional<std::int64_t> minutes, std::int64_t percentage = 0) {
  return classify(minutes ? 5 : 2, minutes.value_or(1), none, none, none, percentage);
}

// Long enough that an unstable sort would reorder equal keys.
TEST(ZaiSortTokenLimits, ShortestFirstStableAndWindowlessLast) {
  const std::optional<std::int64_t> pattern[] = {300, none, 60, 300, 10080, none};
  std::vector<zai::LimitEntry> entries;
  for (std::int64_t i = 0; i < 120; ++i) entries.push_back(entry(pattern[i % 6], i));
  zai::sortTokenLimits(entries);
  const auto key = [](const zai::LimitEntry& e) {
    return std::tuple(!e.windowMinutes, e.windowMinutes.value_or(0), e.usedPercent);
  };
  for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LT(key(entries[i - 1]), key(entries[i])) << i;
}

TEST(ZaiResetPeriodForWindow, Bounds) {
  using enum ResetPeriod;
  EXPECT_EQ(zai::resetPeriodForWindow(std::nullopt), monthly);
  const std::vector<std::pair<std::optional<std::int64_t>, ResetPeriod>> cases = {
      {none, window}, {59, window}, {60, daily}, {1439, daily}, {1440, weekly}, {10079, weekly}, {10080, monthly}};
  for (const auto& [minutes, want] : cases) {
    EXPECT_EQ(zai::resetPeriodForWindow(entry(minutes)), want) << minutes.value_or(-1);
  }
}

UsageData mapped(const std::string& body) { return zai::makeUsageData(zai::readQuotaAnswer(body), kNow); }

TEST(ZaiMakeUsageData, ShortestTokenWindowLeadsLongerOnesFollowAndTheTimeLimitIsNoted) {
  UsageData want = window(25, at(1767225600000), ResetPeriod::daily, "Pro \u00B7 Monthly: 7% used");
  want.auxiliaryUsage = {window(10, at(1767830400000), ResetPeriod::monthly, "1 week window")};
  EXPECT_EQ(mapped(limits(R"({"type":"TOKENS_LIMIT","unit":6,"number":1,"percentage":10,)"
                          R"("nextResetTime":1767830400000},{"type":"TIME_LIMIT","unit":4,"number":1,"percentage":7},)"
                          R"({"type":"X","unit":3,"number":5,"percentage":1},)"
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

  // Limit types are matched exactly; with none known the record is empty but for the plan. One limit the server
  // wrote oddly hides every window the same way.
  want = UsageData::blank(Provider::zai);
  want.lastUpdated = kNow;
  want.note = "Pro";
  EXPECT_EQ(mapped(limits(R"({"type":"tokens_limit","unit":3,"number":5,"percentage":3})")), want);
  const std::string good = R"({"type":"TOKENS_LIMIT","unit":3,"number":5,"percentage":10},)";
  EXPECT_EQ(mapped(limits(good + R"({"type":"TOKENS_LIMIT","unit":3,"number":5})")), want);
  EXPECT_EQ(mapped(limits(good + "3")), want);
  want.note = "Lite";
  EXPECT_EQ(mapped(answer(R"({"planName":null,"plan":"Lite"})")), want);
}

}  // namespace
}  // namespace dapplewick
