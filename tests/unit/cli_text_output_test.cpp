#include "cli/text_output.hpp"

#include <limits>
#include <tuple>

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const Timestamp kNow = Timestamp(std::chrono::milliseconds(1796570000000));  // 2026-12-06T15:13:20Z

UsageData record(Provider provider, double used, double limit, ResetPeriod period = ResetPeriod::monthly) {
  UsageData data = UsageData::blank(provider);
  data.used = used;
  data.limit = limit;
  data.resetPeriod = period;
  return data;
}

TEST(TextOutput, BarCountdownFiguresAndCost) {
  const std::vector<std::tuple<double, double, int, std::string>> bars = {
      {4, 100, 20, "[--------------------]"}, {5, 100, 20, "[#-------------------]"},
      {99.9, 100, 20, "[###################-]"}, {300, 100, 20, "[####################]"},
      {30, 0, 20, "[--------------------]"}, {1, 2, 4, "[##--]"}};
  for (const auto& [used, limit, width, want] : bars) {
    EXPECT_EQ(usageBar(record(Provider::zai, used, limit), width), want) << used << " / " << limit;
  }
  const std::vector<std::pair<std::chrono::milliseconds, std::string>> countdowns = {
      {0ms, "reset due"}, {59s, "resets in under a minute"}, {59min + 59s, "resets in 59m"},
      {1h, "resets in 1h 0m"}, {23h + 59min, "resets in 23h 59m"}, {2 * 24h + 3h + 59min, "resets in 2d 3h"}};
  for (const auto& [left, want] : countdowns) EXPECT_EQ(formatCountdown(kNow + left, kNow), want);
  const std::vector<std::pair<double, std::string>> figures = {
      {-0.0, "0"}, {-3, "-3"}, {25000000, "25000000"}, {1234.5, "1234.5"}, {0.126, "0.13"}, {2.999, "3"},
      {0.00125, "0.00125"}, {1e-9, "1e-09"}, {1e20, "100000000000000000000"},
      {std::numeric_limits<double>::quiet_NaN(), "?"}, {std::numeric_limits<double>::infinity(), "?"}};
  for (const auto& [value, want] : figures) EXPECT_EQ(formatFigure(value), want);
  const std::vector<std::tuple<CostSemantic, double, std::string>> costs = {
      {CostSemantic::none, 0, ""}, {CostSemantic::none, 1.5, "cost 1.50"},
      {CostSemantic::incremental, 0.25, "cost 0.25 today"},
      {CostSemantic::periodCumulative, 12.345, "cost 12.35 this month"},
      {CostSemantic::balance, 0, "balance 0.00"}, {CostSemantic::lifetime, 100, "cost 100.00 in total"}};
  for (const auto& [semantic, cost, want] : costs) {
    UsageData data = UsageData::blank(Provider::openRouter);
    data.cost = cost;
    data.costSemantic = semantic;
    EXPECT_EQ(formatCost(data), want);
  }
}

// Server text is shown, but a hostile answer cannot move the cursor or change the terminal.
TEST(TextOutput, WholeRecordsWithAuxiliaryWindows) {
  UsageData main = record(Provider::zai, 42.5, 100, ResetPeriod::window);
  main.resetAt = kNow + 2h + 13min;
  main.cost = 3.5;
  main.costSemantic = CostSemantic::periodCumulative;
  main.note = "GLM Coding Pro \u00B7 \u4E2D";
  main.auxiliaryUsage.push_back(record(Provider::zai, 12, 100, ResetPeriod::weekly));
  main.auxiliaryUsage[0].resetAt = kNow + 3 * 24h + 4h;
  main.auxiliaryUsage[0].note = "Weekly tokens";
  UsageData balance = UsageData::blank(Provider::deepSeek);
  balance.cost = 8.75;
  balance.costSemantic = CostSemantic::balance;
  const std::vector<UsageData> records = {main, UsageData::failure(Provider::kilo, "F\x1b[2J\u009b\n\x7f\xff", kNow),
                                          record(Provider::groq, 17, 0, ResetPeriod::daily), balance,
                                          UsageData::blank(Provider::vertexAI)};
  EXPECT_EQ(formatUsageText(records, kNow),
            "zai\n"
            "  [########------------]  42%  42.5 / 100  5h window  resets in 2h 13m (2026-12-06T17:26:20Z)\n"
            "  cost 3.50 this month\n"
            "  note: GLM Coding Pro \u00B7 \u4E2D\n"
            "    [##------------------]  12%  12 / 100  Weekly  resets in 3d 4h (2026-12-09T19:13:20Z)\n"
            "    note: Weekly tokens\n"
            "\n"
            "kilo\n"
            "  error: F\uFFFD[2J\uFFFD\uFFFD\uFFFD\uFFFD\n"  // no control reaches the terminal
            "\n"
            "groq\n"
            "  used 17  Daily\n"
            "\n"
            "deepseek\n"
            "  balance 8.75\n"
            "\n"
            "vertexai\n"
            "  no figures reported\n");
}

}  // namespace
}  // namespace dapplewick
