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
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max(), kMin = std::numeric_limits<std::int64_t>::min();
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

  // The international host's answer, and the China host's status when it is asked.
  struct Case {
    int status = 200;
    std::string body{};
    std::optional<int> china{};
    std::string want;
  };
  const std::vector<Case> cases = {
      {.status = 401, .china = 403, .want = "Invalid z.ai API key"},
      {.status = 403, .china = 500, .want = "z.ai API error 500"},
      {.status = 500, .want = "z.ai API error 500"},
      {.body = R"({"code":1001,"msg":"bad","success":false})", .want = "z.ai API error 1001"},
      {.body = "", .want = "Unexpected response from z.ai"},
      {.body = "<html>",
       .want =
           "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)"},
      {.body = " \r\n", .want = "the answer is empty, not JSON"},
      {.body = "{\"code\":", .want = "the answer is not valid JSON"},
      {.body = R"({"code":200,"msg":"ok","data":null,"success":true})", .want = "Unexpected response from z.ai"},
      {.body = R"({"code":200,"msg":"ok","data":{},"success":false})", .want = "z.ai API error 200"},
      {.body = "{}", .want = "missing key \"code\""},
      {.body = R"({"code":200})", .want = "missing key \"msg\""},
      {.body = R"({"code":200,"msg":"ok"})", .want = "missing key \"success\""},
      {.body = answer(R"({"planName":7})"), .want = "expected a string at \"data.planName\""},
      {.body = answer(R"({"planName":"Pro","plan":1})"), .want = "expected a string at \"data.plan\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    testing::ServiceWorld fresh(kNow, Provider::zai);
    fresh.transport.respond(kInternationalURL, c.status, c.body);
    if (c.china) fresh.transport.respond(kChinaURL, *c.china, "");
    EXPECT_EQ(testing::errorText([&] { ZaiService(fresh.context).fetchUsage("key"); }), c.want);
    EXPECT_EQ(fresh.transport.requestCount(), c.china ? 2u : 1u);
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
  struct Share {
    Figure usage{}, current{}, remaining{};
    std::int64_t percentage = 0;
    double want;
  };
  // clang-format off
  const std::vector<Share> shares = {
      {.usage = 1000, .current = 250, .percentage = 99, .want = 25}, {.usage = 200, .remaining = 50, .want = 75},
      {.usage = 100, .current = 90, .remaining = 30, .want = 90}, {.usage = 100, .remaining = 150, .want = 0},
      {.usage = 100, .current = 400, .want = 100}, {.usage = 100, .percentage = 42, .want = 42},
      {.usage = 0, .current = 5, .remaining = 5, .percentage = 17, .want = 17},
      {.current = 5, .remaining = 5, .percentage = 130, .want = 130}, {.usage = 100, .remaining = kMin, .want = 100},
      {.usage = kMax, .current = 7, .remaining = -2, .want = 100},
  };
  // clang-format on
  for (const auto& c : shares) {
    SCOPED_TRACE(::testing::PrintToString(std::tuple(c.usage, c.current, c.remaining, c.percentage)));
    const auto e = classify(3, 5, c.usage, c.current, c.remaining, c.percentage);
    EXPECT_EQ(std::pair(e.usedPercent, e.percentage), std::pair(c.want, double(c.percentage)));
  }
  struct Window {
    std::int64_t unit, number;
    Figure minutes{};
    std::optional<std::string> label{};
  };
  const std::vector<Window> windows = {
      {.unit = 5, .number = 1, .minutes = 1, .label = "1 minute window"},
      {.unit = 5, .number = 30, .minutes = 30, .label = "30 minutes window"},
      {.unit = 3, .number = 5, .minutes = 300, .label = "5 hours window"},
      {.unit = 1, .number = 7, .minutes = 10080, .label = "7 days window"},
      {.unit = 2, .number = 5},
      {.unit = 6, .number = 2, .minutes = 20160, .label = "2 weeks window"},
      {.unit = 3, .number = 0},
      {.unit = 5, .number = kMax, .minutes = kMax, .label = std::to_string(kMax) + " minutes window"},
      // Lengths whose minutes leave 64 bits are treated like an unknown unit.
      {.unit = 3, .number = kMax / 60 + 1},
      {.unit = 6, .number = kMax},
  };
  for (const auto& c : windows) {
    SCOPED_TRACE(std::to_string(c.unit) + " x " + std::to_string(c.number));
    const auto entry = classify(c.unit, c.number);
    EXPECT_EQ(std::pair(entry.windowMinutes, entry.windowLabel), std::pair(c.minutes, c.label));
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
  EXPECT_EQ(
      mapped(limits(token + R"("unit":6,"number":1,"percentage":10,"nextResetTime":1767830400000},)" + time +
                    R"("unit":4,"number":1,"percentage":7},{"type":"X","unit":3,"number":5,"percentage":1},)" + token +
                    R"("unit":3,"number":5,"usage":1000,"currentValue":200,"remaining":750,)"
                    R"("percentage":99,"nextResetTime":1767225600000,"extra":"x"})")),
      want);

  // Without a token window the time limit leads; its note is rounded.
  EXPECT_EQ(mapped(limits(time + R"("unit":5,"number":1,"usage":1000,"currentValue":495,"percentage":0})")),
            record(49.5, ResetPeriod::window, "Pro \u00B7 1 minute window: 50% used"));

  // The last time limit wins; token limits without a window (unknown unit, overflowing length) sort last.
  want = record(20, ResetPeriod::window, "Pro \u00B7 30 days window: 8% used");
  want.auxiliaryUsage = {record(60, ResetPeriod::window), record(1, ResetPeriod::window)};
  EXPECT_EQ(mapped(limits(time + R"("unit":1,"number":1,"percentage":5},)" + token +
                          R"("unit":2,"number":1,"percentage":60},)" + token + R"("unit":6,"number":)" +
                          std::to_string(kMax) + R"(,"percentage":1},)" + token +
                          R"("unit":5,"number":30,)"
                          R"("percentage":20},)" +
                          time + R"("unit":1,"number":30,"percentage":8})")),
            want);

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
