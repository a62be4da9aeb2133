#include "cli/text_output.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const Timestamp kNow = Timestamp(std::chrono::milliseconds(1796570000000));  // 2026-12-06T15:13:20Z

UsageData withFigures(double used, double limit) {
  UsageData record = UsageData::blank(Provider::zai);
  record.used = used;
  record.limit = limit;
  return record;
}

TEST(TextOutput, UsageBar) {
  struct Case {
    double used;
    double limit;
    int width;
    std::string want;
  };
  const std::vector<Case> cases = {
      {0, 100, 20, "[--------------------]"},
      {4, 100, 20, "[--------------------]"},
      {5, 100, 20, "[#-------------------]"},
      {50, 100, 20, "[##########----------]"},
      {99.9, 100, 20, "[###################-]"},
      {100, 100, 20, "[####################]"},
      {300, 100, 20, "[####################]"},
      {30, 0, 20, "[--------------------]"},
      {1, 2, 4, "[##--]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.used) + " / " + std::to_string(c.limit));
    EXPECT_EQ(usageBar(withFigures(c.used, c.limit), c.width), c.want);
  }
}

TEST(TextOutput, Countdown) {
  struct Case {
    std::chrono::milliseconds left;
    std::string want;
  };
  const std::vector<Case> cases = {
      {-5min, "reset due"},
      {0ms, "reset due"},
      {1ms, "resets in under a minute"},
      {59s, "resets in under a minute"},
      {60s, "resets in 1m"},
      {59min + 59s, "resets in 59m"},
      {1h, "resets in 1h 0m"},
      {3h + 12min + 30s, "resets in 3h 12m"},
      {23h + 59min, "resets in 23h 59m"},
      {24h, "resets in 1d 0h"},
      {2 * 24h + 3h + 59min, "resets in 2d 3h"},
      {400 * 24h, "resets in 400d 0h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(formatCountdown(kNow + c.left, kNow), c.want);
  }
}

TEST(TextOutput, Figures) {
  struct Case {
    double value;
    std::string want;
  };
  const std::vector<Case> cases = {
      {0, "0"},
      {-0.0, "0"},
      {42, "42"},
      {-3, "-3"},
      {25000000, "25000000"},
      {1234.5, "1234.5"},
      {0.126, "0.13"},
      {2.999, "3"},
      {0.5, "0.5"},
      {0.00125, "0.00125"},
      {1e-9, "1e-09"},
      {1e20, "100000000000000000000"},
      {std::numeric_limits<double>::quiet_NaN(), "?"},
      {std::numeric_limits<double>::infinity(), "?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(formatFigure(c.value), c.want);
  }
}

TEST(TextOutput, CostWithItsMeaning) {
  struct Case {
    CostSemantic semantic;
    double cost;
    std::string want;
  };
  const std::vector<Case> cases = {
      {CostSemantic::none, 0, ""},
      {CostSemantic::none, 1.5, "cost 1.50"},
      {CostSemantic::incremental, 0.25, "cost 0.25 today"},
      {CostSemantic::periodCumulative, 12.345, "cost 12.35 this month"},
      {CostSemantic::balance, 0, "balance 0.00"},
      {CostSemantic::balance, -3.2, "balance -3.20"},
      {CostSemantic::lifetime, 100, "cost 100.00 in total"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    UsageData record = UsageData::blank(Provider::openRouter);
    record.costSemantic = c.semantic;
    record.cost = c.cost;
    EXPECT_EQ(formatCost(record), c.want);
  }
}

TEST(TextOutput, ServerTextCannotControlTheTerminal) {
  EXPECT_EQ(printableText("plain \u00E9 \u00B7 \u4E2D"), "plain \u00E9 \u00B7 \u4E2D");
  EXPECT_EQ(printableText("\x1b[2Jcleared"), "\uFFFD[2Jcleared");
  EXPECT_EQ(printableText("a\nb\tc\rd\x7f"), "a\uFFFDb\uFFFDc\uFFFDd\uFFFD");
  EXPECT_EQ(printableText("\u009b31m"), "\uFFFD31m");
  EXPECT_EQ(printableText(std::string("bad\xff")), "bad\uFFFD");
}

TEST(TextOutput, WholeRecordsWithAuxiliaryWindows) {
  UsageData main = withFigures(42.5, 100);
  main.resetPeriod = ResetPeriod::window;
  main.resetAt = kNow + 2h + 13min;
  main.cost = 3.5;
  main.costSemantic = CostSemantic::periodCumulative;
  main.note = "GLM Coding Pro";
  UsageData weekly = withFigures(12, 100);
  weekly.resetPeriod = ResetPeriod::weekly;
  weekly.resetAt = kNow + 3 * 24h + 4h;
  weekly.note = "Weekly tokens";
  main.auxiliaryUsage.push_back(weekly);

  UsageData balance = UsageData::blank(Provider::deepSeek);
  balance.cost = 8.75;
  balance.costSemantic = CostSemantic::balance;

  UsageData failed = UsageData::failure(Provider::kilo, "This build of Dapplewick does not read kilo", kNow);
  UsageData empty = UsageData::blank(Provider::vertexAI);
  UsageData countOnly = UsageData::blank(Provider::groq);
  countOnly.used = 17;
  countOnly.resetPeriod = ResetPeriod::daily;

  EXPECT_EQ(formatUsageText({main, failed, countOnly, balance, empty}, kNow),
            "zai\n"
            "  [########------------]  42%  42.5 / 100  5h window  resets in 2h 13m (2026-12-06T17:26:20Z)\n"
            "  cost 3.50 this month\n"
            "  note: GLM Coding Pro\n"
            "    [##------------------]  12%  12 / 100  Weekly  resets in 3d 4h (2026-12-09T19:13:20Z)\n"
            "    note: Weekly tokens\n"
            "\n"
            "kilo\n"
            "  error: This build of Dapplewick does not read kilo\n"
            "\n"
            "groq\n"
            "  used 17  Daily\n"
            "\n"
            "deepseek\n"
            "  balance 8.75\n"
            "\n"
            "vertexai\n"
            "  no figures reported\n");
  EXPECT_EQ(formatUsageText({}, kNow), "");
}

}  // namespace
}  // namespace dapplewick
