#include "cli/json_output.hpp"
#include "cli/text_output.hpp"

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "cli/app.hpp"
#include "support/e2e_harness.hpp"

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

// Every field set, an auxiliary window beneath.
UsageData fullRecord() {
  UsageData main = record(Provider::zai, 42.5, 100, ResetPeriod::window);
  main.id = Provider::openAI;
  main.resetAt = kNow + 2h + 13min + 123ms;
  main.cost = 3.5;
  main.costSemantic = CostSemantic::periodCumulative;
  main.lastUpdated = kNow;
  main.error = "";  // an empty error is no error
  main.note = "GLM Coding Pro \u00B7 \u4E2D";
  main.isLoading = true;
  main.auxiliaryUsage.push_back(record(Provider::zai, 7, 8, ResetPeriod::weekly));
  main.auxiliaryUsage[0].resetAt = kNow + 3 * 24h + 4h;
  main.auxiliaryUsage[0].note = "Weekly tokens";
  return main;
}

TEST(TextOutput, BarCountdownFiguresAndCost) {
  const std::vector<std::tuple<double, double, int, std::string>> bars = {
      {4.9, 100, 20, "[--------------------]"},  {5, 100, 20, "[#-------------------]"},
      {99.9, 100, 20, "[###################-]"}, {300, 100, 20, "[####################]"},
      {30, 0, 20, "[--------------------]"},     {1, 2, 4, "[##--]"}};
  for (const auto& [used, limit, width, want] : bars) {
    EXPECT_EQ(usageBar(record(Provider::zai, used, limit), width), want) << used << " / " << limit;
  }
  const std::vector<std::pair<std::chrono::milliseconds, std::string>> countdowns = {
      {0ms, "reset due"},      {59s, "resets in under a minute"},  {59min + 59s, "resets in 59m"},
      {1h, "resets in 1h 0m"}, {23h + 59min, "resets in 23h 59m"}, {2 * 24h + 3h + 59min, "resets in 2d 3h"}};
  for (const auto& [left, want] : countdowns) EXPECT_EQ(formatCountdown(kNow + left, kNow), want);
  const std::vector<std::pair<double, std::string>> figures = {
      {-0.0, "0"},         {-3, "-3"},
      {1234.5, "1234.5"},  {0.126, "0.13"},
      {2.999, "3"},        {0.00125, "0.00125"},
      {1e-9, "1e-09"},     {1e20, "100000000000000000000"},
      {std::nan(""), "?"}, {-std::numeric_limits<double>::infinity(), "?"}};
  for (const auto& [value, want] : figures) EXPECT_EQ(formatFigure(value), want);
  using enum CostSemantic;
  const std::vector<std::tuple<CostSemantic, double, std::string>> costs = {
      {none, 0, ""},
      {none, 1.5, "cost 1.50"},
      {incremental, 0.25, "cost 0.25 today"},
      {balance, 8.75, ""},
      {periodCumulative, 12.345, "cost 12.35 this month"},
      {lifetime, 100, "cost 100.00 in total"}};
  for (const auto& [semantic, cost, want] : costs) {
    UsageData data = UsageData::blank(Provider::openRouter);
    data.cost = cost;
    data.costSemantic = semantic;
    EXPECT_EQ(formatCost(data), want);
  }
}

// Server text is shown, but a hostile answer cannot move the cursor, change the terminal or reorder what it shows.
TEST(TextOutput, WholeRecordsWithAuxiliaryWindows) {
  // A plan's usage with the balance in the note, whose cost (0) is no figure of the balance.
  UsageData balance = record(Provider::mimo, 37.5, 100);
  balance.costSemantic = CostSemantic::balance;
  balance.note = "Plan: Lite \u00B7 Balance: 12.5 CNY";
  // Without a limit, a figure that may be a balance or a spend; its period only beside a reset date.
  UsageData spend = record(Provider::bedrock, 12.5, 0);
  spend.resetAt = kNow + 24h;
  const std::vector<UsageData> records = {
      fullRecord(),
      UsageData::failure(Provider::kilo, "F\x1b[2J\u009b\n\x7f\xff\u061C\u200E\u200F\u202A\u202E\u2066\u2069\u2065",
                         kNow),
      record(Provider::groq, 17, 0, ResetPeriod::daily),
      spend,
      balance,
      UsageData::blank(Provider::vertexAI)};
  EXPECT_EQ(formatUsageText(records, kNow),
            "zai\n"
            "  [########------------]  42%  42.5 / 100  5h window  resets in 2h 13m (2026-12-06T17:26:20Z)\n"
            "  cost 3.50 this month\n"
            "  note: GLM Coding Pro \u00B7 \u4E2D\n"
            "    [#################---]  87%  7 / 8  Weekly  resets in 3d 4h (2026-12-09T19:13:20Z)\n"
            "    note: Weekly tokens\n"
            "\nkilo\n"
            // no control reaches the terminal
            "  error: F\uFFFD[2J\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\u2065\n"
            "\ngroq\n"
            "  amount 17\n"
            "\nbedrock\n"
            "  amount 12.5  Monthly  resets in 1d 0h (2026-12-07T15:13:20Z)\n"
            "\nmimo\n"
            "  [#######-------------]  37%  37.5 / 100  Monthly\n"
            "  note: Plan: Lite \u00B7 Balance: 12.5 CNY\n"
            "\nvertexai\n"
            "  no figures reported\n");
}

TEST(JsonOutput, FieldsInRecordOrderThenPercentageInAnArrayThatIsAlwaysJSON) {
  EXPECT_EQ(usageJson(fullRecord()).dump(),
            R"({"id":"openai","provider":"zai","used":42.5,"limit":100.0,"cost":3.5,)"
            R"("costSemantic":"periodCumulative","resetAt":"2026-12-06T17:26:20.123Z","resetPeriod":"window",)"
            R"("lastUpdated":"2026-12-06T15:13:20.000Z","error":"","note":"GLM Coding Pro )"
            "\u00B7 \u4E2D"
            R"(",)"
            R"("isLoading":true,"auxiliaryUsage":[{"id":"zai","provider":"zai","used":7.0,"limit":8.0,"cost":0.0,)"
            R"("costSemantic":"none","resetAt":"2026-12-09T19:13:20.000Z","resetPeriod":"weekly","lastUpdated":null,)"
            R"("error":null,"note":"Weekly tokens","isLoading":false,"auxiliaryUsage":[],"percentage":87}],)"
            R"("percentage":42})");
  // Figures are finite and texts UTF-8 by construction; should one slip through, the output must still be JSON.
  EXPECT_EQ(formatUsageJson({}), "[]\n");
  UsageData bad = UsageData::blank(Provider::manus);
  bad.used = std::numeric_limits<double>::quiet_NaN();
  bad.limit = std::numeric_limits<double>::infinity();
  bad.cost = -std::numeric_limits<double>::infinity();
  bad.error = std::string("bad \xff byte");
  const std::string text = formatUsageJson({UsageData::blank(Provider::codex), bad});
  EXPECT_EQ(text.back(), '\n');
  const Json parsed = Json::parse(text);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["provider"], "codex");
  EXPECT_EQ(parsed[1].dump(), R"({"id":"manus","provider":"manus","used":null,"limit":null,"cost":null,)"
                              R"("costSemantic":"none","resetAt":null,"resetPeriod":"monthly","lastUpdated":null,)"
                              R"("error":"bad )"
                              "\uFFFD"
                              R"( byte","note":null,"isLoading":false,)"
                              R"("auxiliaryUsage":[],"percentage":0})");
  // A negative zero is written as 0.0, in windows beneath too.
  UsageData zero = record(Provider::openRouter, -0.0, -0.0);
  zero.cost = -0.0;
  zero.auxiliaryUsage.push_back(record(Provider::openRouter, -0.0, 8));
  const std::string zeros = usageJson(zero).dump();
  EXPECT_EQ(zeros.find("-0"), std::string::npos) << zeros;
  EXPECT_NE(zeros.find(R"("used":0.0,"limit":0.0,"cost":0.0,)"), std::string::npos) << zeros;
}

// The README section that --help points to documents the record as it is printed: every field in order, and every
// value of the two enumerations.
TEST(JsonOutput, TheReadmeSectionTheHelpNamesDocumentsEveryFieldAndValue) {
  EXPECT_NE(kUsageText.find("README.md, section \"The --json record\""), std::string_view::npos);
  const std::string readme =
      testing::readFileText(std::filesystem::path(DAPPLEWICK_TEST_DATA).parent_path().parent_path() / "README.md");
  const auto start = readme.find("\n## The `--json` record\n");
  ASSERT_NE(start, std::string::npos);
  std::istringstream section(readme.substr(start, readme.find("\n## ", start + 1) - start));
  // Table rows read "| `field` | type | meaning |"; the words in backquotes of a meaning are its values.
  std::vector<std::string> fields;
  std::map<std::string, std::vector<std::string>> quoted;
  for (std::string line; std::getline(section, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    const std::string field = line.substr(3, line.find('`', 3) - 3);
    fields.push_back(field);
    const std::string meaning = line.substr(line.rfind(" | ", line.size() - 3));
    for (std::size_t open = meaning.find('`'), close = 0; open != std::string::npos;
         open = meaning.find('`', close + 1)) {
      close = meaning.find('`', open + 1);
      ASSERT_NE(close, std::string::npos) << line;
      quoted[field].push_back(meaning.substr(open + 1, close - open - 1));
    }
  }
  std::vector<std::string> printed;
  const Json json = usageJson(UsageData::blank(Provider::zai));
  for (auto field = json.begin(); field != json.end(); ++field) printed.push_back(field.key());
  EXPECT_EQ(fields, printed);
  std::vector<std::string> semantics;
  for (const auto value : {CostSemantic::none, CostSemantic::incremental, CostSemantic::periodCumulative,
                           CostSemantic::balance, CostSemantic::lifetime}) {
    semantics.emplace_back(caseName(value));
  }
  EXPECT_EQ(quoted["costSemantic"], semantics);
  std::vector<std::string> periods;
  for (const auto value : {ResetPeriod::window, ResetPeriod::daily, ResetPeriod::weekly, ResetPeriod::monthly}) {
    periods.emplace_back(caseName(value));
  }
  // The meaning lists the values first, then says what `window` is.
  ASSERT_GE(quoted["resetPeriod"].size(), periods.size());
  quoted["resetPeriod"].resize(periods.size());
  EXPECT_EQ(quoted["resetPeriod"], periods);
}

}  // namespace
}  // namespace dapplewick
