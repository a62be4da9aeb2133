#include "cli/json_output.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace dapplewick {
namespace {

using namespace std::chrono;

Timestamp at(long long milliseconds) { return Timestamp(std::chrono::milliseconds(milliseconds)); }

UsageData fullRecord() {
  UsageData record = UsageData::blank(Provider::zai);
  record.used = 42.5;
  record.limit = 100;
  record.cost = 3.25;
  record.costSemantic = CostSemantic::periodCumulative;
  record.resetAt = at(1796576595123);  // 2026-12-06T17:03:15.123Z
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = at(1796570000000);
  record.error = "";
  record.note = "Pro plan \u00B7 tokens";
  record.isLoading = false;
  UsageData weekly = UsageData::blank(Provider::zai);
  weekly.used = 7;
  weekly.limit = 8;
  weekly.resetPeriod = ResetPeriod::weekly;
  record.auxiliaryUsage.push_back(weekly);
  return record;
}

TEST(JsonOutput, FieldsInRecordOrderThenPercentage) {
  EXPECT_EQ(usageJson(fullRecord()).dump(),
            R"({"id":"zai","provider":"zai","used":42.5,"limit":100.0,"cost":3.25,)"
            R"("costSemantic":"periodCumulative","resetAt":"2026-12-06T17:03:15.123Z","resetPeriod":"window",)"
            R"("lastUpdated":"2026-12-06T15:13:20.000Z","error":"","note":"Pro plan )" "\u00B7" R"( tokens",)"
            R"("isLoading":false,"auxiliaryUsage":[{"id":"zai","provider":"zai","used":7.0,"limit":8.0,)"
            R"("cost":0.0,"costSemantic":"none","resetAt":null,"resetPeriod":"weekly","lastUpdated":null,)"
            R"("error":null,"note":null,"isLoading":false,"auxiliaryUsage":[],"percentage":87}],"percentage":42})");
}

TEST(JsonOutput, AbsentValuesAreNullAndIdIsItsOwnField) {
  UsageData record = UsageData::failure(Provider::alibabaTokenPlan, "No credential saved", std::nullopt);
  record.id = Provider::openAI;
  record.isLoading = true;
  const Json json = usageJson(record);
  EXPECT_EQ(json["id"], "openai");
  EXPECT_EQ(json["provider"], "alibabatokenplan");
  EXPECT_TRUE(json["resetAt"].is_null());
  EXPECT_TRUE(json["lastUpdated"].is_null());
  EXPECT_TRUE(json["note"].is_null());
  EXPECT_EQ(json["error"], "No credential saved");
  EXPECT_EQ(json["isLoading"], true);
  EXPECT_EQ(json["auxiliaryUsage"], Json::array());
}

TEST(JsonOutput, Percentage) {
  struct Case {
    double used;
    double limit;
    int want;
  };
  const std::vector<Case> cases = {
      {0, 0, 0},     {5, 0, 0},       {5, -1, 0},   {-5, 10, 0}, {1, 3, 33},
      {99.9, 100, 99}, {100, 100, 100}, {250, 100, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.used) + " / " + std::to_string(c.limit));
    UsageData record = UsageData::blank(Provider::kilo);
    record.used = c.used;
    record.limit = c.limit;
    EXPECT_EQ(usageJson(record)["percentage"], c.want);
  }
}

TEST(JsonOutput, FiguresPrintFaithfullyAndNonFiniteBecomesNull) {
  const std::vector<double> values = {0.1, 1e-7, 123456789.123, 1.0 / 3.0, -2.5, 9007199254740993.0, 1e300};
  for (double value : values) {
    SCOPED_TRACE(value);
    UsageData record = UsageData::blank(Provider::deepSeek);
    record.used = value;
    record.cost = value;
    const Json parsed = Json::parse(formatUsageJson({record}));
    EXPECT_EQ(parsed[0]["used"].get<double>(), value);
    EXPECT_EQ(parsed[0]["cost"].get<double>(), value);
  }
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

TEST(JsonOutput, ArrayKeepsTheGivenOrderAndEndsWithANewline) {
  EXPECT_EQ(formatUsageJson({}), "[]\n");
  const auto text = formatUsageJson({UsageData::blank(Provider::codex), UsageData::blank(Provider::deepgram)});
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const Json parsed = Json::parse(text);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["provider"], "codex");
  EXPECT_EQ(parsed[1]["provider"], "deepgram");
}

TEST(JsonOutput, InvalidUTF8FromAServerIsReplacedNotFatal) {
  UsageData record = UsageData::blank(Provider::manus);
  record.error = std::string("bad \xff byte");
  record.note = std::string("\xc3");
  const Json parsed = Json::parse(formatUsageJson({record}));
  EXPECT_EQ(parsed[0]["error"], "bad \uFFFD byte");
  EXPECT_EQ(parsed[0]["note"], "\uFFFD");
}

}  // namespace
}  // namespace dapplewick
