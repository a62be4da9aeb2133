#include "providers/zai.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using Figure = std::optional<std::int64_t>;
const std::string kInternationalURL = "https://api.z.ai/api/monitor/usage/quota/limit";
const std::string kChinaURL = "https://open.bigmodel.cn/api/monitor/usage/quota/limit";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const Figure none;

Timestamp at(long long ms) { return Timestamp{std::chrono::milliseconds{ms}}; }
std::string answer(const std::string& d) { return R"({"code":200,"msg":"ok","data":)" + d + R"(,"success":true})"; }
// A plan name under both keys: "planName" wins.
std::string limits(const std::string& l) { return answer(R"({"planName":"Pro","plan":"Lite","limits":[)" + l + "]}"); }

UsageData record(double used, ResetPeriod period, std::optional<std::string> note = {}, Figure resetMs = none) {
  UsageData d = UsageData::blank(Provider::zai);
  std::tie(d.used, d.limit, d.resetAt, d.resetPeriod, d.lastUpdated, d.note) =
      std::tuple(used, 100, resetMs ? std::optional(at(*resetMs)) : std::nullopt, period, kNow, note);
  return d;
}

// Only a rejected key goes on to the China host, asked as the first was; every other failure of the first host, a
// 200 answer that reports one or does not decode included, is final.
TEST(ZaiService, HostOrderAndFailures) {
  testing::ServiceWorld world(kNow, Provider::zai);
  world.transport.respond(kInternationalURL, 401, "");
  world.transport.respond(kChinaURL, 200, limits(""));
  ZaiService(world.context).fetchUsage("api:  k-1\n");
  const std::string rest =
      " (60000 ms)\nauthorization: Bearer k-1\nAccept: application/json\nUser-Agent: Dapplewick/1.0\n\n(no body)";
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)), "GET " + kInternationalURL + rest);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(1)), "GET " + kChinaURL + rest);

  const std::vector<std::tuple<int, std::string, int, std::string>> cases = {  // second 0: never asked
      {401, "", 403, "Invalid z.ai API key"}, {403, "", 500, "z.ai API error 500"}, {500, "", 0, "z.ai API error 500"},
      {200, R"({"code":1001,"msg":"bad","success":false})", 0, "z.ai API error 1001"},
      {200, "", 0, "Unexpected response from z.ai"}, {200, "<html>", 0, "the data is not valid JSON"},
      {200, R"({"code":200,"msg":"ok","data":null,"success":true})", 0, "Unexpected response from z.ai"},
      {200, R"({"code":200,"msg":"ok","data":{},"success":false})", 0, "z.ai API error 200"},
      {200, "{}", 0, "missing key \"code\""}, {200, R"({"code":200})", 0, "missing key \"msg\""},
      {200, R"({"code":200,"msg":"ok"})", 0, "missing key \"success\""},
      {200, answer(R"({"planName":7})"), 0, "expected a string at \"data.planName\""},
      {200, answer(R"({"planName":"Pro","plan":1})"), 0, "expected a string at \"data.plan\""}};
  for (const auto& [first, body, second, want] : cases) {
    testing::ServiceWorld fresh(kNow, Provider::zai);
    fresh.transport.respond(kInternationalURL, first, body);
    if (second != 0) fresh.transport.respond(kChinaURL, second, "");
    EXPECT_EQ(testing::errorText([&] { ZaiService(fresh.context).fetchUsage("key"); }), want) << first << body;
    EXPECT_EQ(fresh.transport.requestCount(), second != 0 ? 2u : 1u);
  }
}

zai::LimitEntry classify(std::int64_t unit, std::int64_t number, Figure usage = none, Figure current = none,
                         Figure remaining = none, std::int64_t percentage = 0) {
  return zai::classifyWindow({"TOKENS_LIMIT", unit, number, usage, current, remaining, percentage, none}).value();
}

// A token limit of `minutes` minutes, or of an unknown unit without them.
UsageData mapped(const std::string& body) { return zai::makeUsageData(zai::readQuotaAnswer(body), kNow); }

zai::LimitEntry entry(Figure minutes, std::int64_t percentage = 0) {
  return classify(minutes ? 5 : 2, minutes.value_or(1), none, none, none, percentage);
}

TEST(ZaiLimits, UsedPercentWindowsOrderResetPeriodsAndTheRecord) {
  // usage, currentValue, remaining, percentage: the share shown. Current of the allowance; the larger of current and
  // allowance less remaining; remaining alone; clamped at both ends; the server's percentage without figures,
  // without an allowance or without a positive one; differences that leave 64 bits count as the whole allowance.
  const std::vector<std::tuple<Figure, Figure, Figure, std::int64_t, double>> cases = {
      {1000, 250, none, 99, 25}, {100, 90, 30, 0, 90}, {200, none, 50, 0, 75}, {100, none, 150, 0, 0},
      {100, 400, none, 0, 100}, {100, none, none, 42, 42}, {0, 5, 5, 17, 17}, {none, 5, 5, 130, 130},
      {100, none, std::numeric_limits<std::int64_t>::min(), 0, 100}, {kMax, 7, -2, 0, 100}};
  for (const auto& [usage, current, remaining, percentage, want] : cases) {
    const auto e = classify(3, 5, usage, current, remaining, percentage);
    EXPECT_EQ(std::pair(e.usedPercent, e.percentage), std::pair(want, double(percentage))) << usage.value_or(-1);
  }
  // The last two: lengths whose minutes leave 64 bits are treated like an unknown unit.
  const std::vector<std::tuple<std::int64_t, std::int64_t, Figure, std::optional<std::string>>> windows = {
      {5, 1, 1, "1 minute window"}, {5, 30, 30, "30 minutes window"}, {3, 5, 300, "5 hours window"},
      {1, 7, 10080, "7 days window"}, {6, 2, 20160, "2 weeks window"}, {2, 5, none, {}}, {3, 0, none, {}},
      {5, kMax, kMax, std::to_string(kMax) + " minutes window"}, {3, kMax / 60 + 1, none, {}}, {6, kMax, none, {}}};
  for (const auto& [unit, number, minutes, label] : windows) {
    const auto entry = classify(unit, number);
    EXPECT_EQ(std::pair(entry.windowMinutes, entry.windowLabel), std::pair(minutes, label)) << unit << " x " << number;
  }

  // Shortest first, windowless last; long enough that an unstable sort would reorder equal keys.
  const Figure pattern[] = {300, none, 60, 300, 10080, none};
  std::vector<zai::LimitEntry> entries;
  for (std::int64_t i = 0; i < 120; ++i) entries.push_back(entry(pattern[i % 6], i));
  zai::sortTokenLimits(entries);
  const auto key = [](const zai::LimitEntry& e) {
    return std::tuple(!e.windowMinutes, e.windowMinutes.value_or(0), e.usedPercent);
  };
  for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LT(key(entries[i - 1]), key(entries[i])) << i;

  using enum ResetPeriod;
  const std::vector<std::pair<Figure, ResetPeriod>> periods = {
      {none, window}, {59, window}, {60, daily}, {1439, daily}, {1440, weekly}, {10079, weekly}, {10080, monthly}};
  for (const auto& [m, want] : periods) EXPECT_EQ(zai::resetPeriodForWindow(entry(m)), want) << m.value_or(-1);

  // The record: the shortest token window leads, longer ones follow, the time limit is noted.
  const std::string token = R"({"type":"TOKENS_LIMIT",)", time = R"({"type":"TIME_LIMIT",)";
  UsageData want = record(25, ResetPeriod::daily, "Pro \u00B7 Monthly: 7% used", 1767225600000);
  want.auxiliaryUsage = {record(10, ResetPeriod::monthly, "1 week window", 1767830400000)};
  EXPECT_EQ(mapped(limits(token + R"("unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)" + time +
                          R"("unit":4,"number":1,"percentage":7},{"type":"X","unit":3,"number":5,"percentage":1},)" +
                          token + R"("unit":3,"number":5,"usage":1000,"currentValue":200,"remaining":750,)"
                          R"("percentage":99,"nextResetTime":1767225600000,"extra":"x"})")), want);

  // Without a token window the time limit leads; its note is rounded.
  EXPECT_EQ(mapped(limits(time + R"("unit":5,"number":1,"usage":1000,"currentValue":495,"percentage":0})")),
            record(49.5, ResetPeriod::window, "Pro \u00B7 1 minute window: 50% used"));

  // The last time limit wins; token limits without a window (unknown unit, overflowing length) sort last.
  want = record(20, ResetPeriod::window, "Pro \u00B7 30 days window: 8% used");
  want.auxiliaryUsage = {record(60, ResetPeriod::window), record(1, ResetPeriod::window)};
  EXPECT_EQ(mapped(limits(time + R"("unit":1,"number":1,"percentage":5},)" + token +
                          R"("unit":2,"number":1,"percentage":60},)" + token + R"("unit":6,"number":)" +
                          std::to_string(kMax) + R"(,"percentage":1},)" + token + R"("unit":5,"number":30,)"
                          R"("percentage":20},)" + time + R"("unit":1,"number":30,"percentage":8})")), want);

  // Limit types are matched exactly; with none known the record is empty but for the plan. One limit the server
  // wrote oddly hides every window the same way. "plan" names the plan when "planName" is null.
  want = UsageData::blank(Provider::zai);
  std::tie(want.lastUpdated, want.note) = std::tuple(kNow, "Lite");
  EXPECT_EQ(mapped(answer(R"({"planName":null,"plan":"Lite"})")), want);
  want.note = "Pro";
  const std::string good = token + R"("unit":3,"number":5,"percentage":10},)";
  for (const std::string& list : {std::string(R"({"type":"tokens_limit","unit":3,"number":5,"percentage":3})"),
                                  good + token + R"("unit":3,"number":5})", good + "3"})
    EXPECT_EQ(mapped(limits(list)), want) << list;
}

}  // namespace
}  // namespace dapplewick
