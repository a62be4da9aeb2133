#include "cli/json_output.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

Timestamp at(long long milliseconds) { return Timestamp(std::chrono::milliseconds(milliseconds)); }

TEST(JsonOutput, FieldsInRecordOrderThenPercentage) {
  UsageData record = UsageData::blank(Provider::zai);
  record.id = Provider::openAI;
  record.used = 42.5;
  record.limit = 100;
  record.cost = 3.25;
  record.costSemantic = CostSemantic::periodCumulative;
  record.resetAt = at(1796576595123);
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = at(1796570000000);
  record.error = "";
  record.note = "Pro plan \u00B7 tokens";
  record.isLoading = true;
  UsageData weekly = UsageData::blank(Provider::zai);
  weekly.used = 7;
  weekly.limit = 8;
  weekly.resetPeriod = ResetPeriod::weekly;
  record.auxiliaryUsage.push_back(weekly);

  EXPECT_EQ(usageJson(record).dump(),
            R"({"id":"openai","provider":"zai","used":42.5,"limit":100.0,"cost":3.25,)"
            R"("costSemantic":"periodCumulative","resetAt":"2026-12-06T17:03:15.123Z","resetPeriod":"window",)"
            R"("lastUpdated":"2026-12-06T15:13:20.000Z","error":"","note":"Pro plan )" "\u00B7" R"( tokens",)"
            R"("isLoading":true,"auxiliaryUsage":[{"id":"zai","provider":"zai","used":7.0,"limit":8.0,)"
            R"("cost":0.0,"costSemantic":"none","resetAt":null,"resetPeriod":"weekly","lastUpdated":null,)"
            R"("error":null,"note":null,"isLoading":false,"auxiliaryUsage":[],"percentage":87}],"percentage":42})");
}

// Figures are finite by construction; should one slip through, the output must still be JSON.
TEST(JsonOutput, NonFiniteFiguresBecomeNull) {
  UsageData record = UsageData::blank(Provider::deepSeek);
  record.used = std::numeric_limits<double>::quiet_NaN();
  record.limit = std::numeric_limits<double>::infinity();
  record.cost = -std::numeric_limits<double>::infinity();
  const Json json = usageJson(record);
  EXPECT_TRUE(json["used"].is_null());
  EXPECT_TRUE(json["limit"].is_null());
  EXPECT_TRUE(json["cost"].is_null());
  EXPECT_EQ(json["percentage"], 0);
}

TEST(JsonOutput, ArrayInTheGivenOrderEndsWithANewlineAndSurvivesInvalidUTF8) {
  EXPECT_EQ(formatUsageJson({}), "[]\n");
  UsageData bad = UsageData::blank(Provider::manus);
  bad.error = std::string("bad \xff byte");
  const std::string text = formatUsageJson({UsageData::blank(Provider::codex), bad});
  EXPECT_EQ(text.back(), '\n');
  const Json parsed = Json::parse(text);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["provider"], "codex");
  EXPECT_EQ(parsed[1]["error"], "bad \uFFFD byte");
}

}  // namespace
}  // namespace dapplewick
