#include "providers/stepfun.hpp"

#include <gtest/gtest.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://platform.stepfun.com/api/step.openapi.devcenter.Dashboard/QueryStepPlanRateLimit";
const Timestamp kNow{std::chrono::seconds(1'751'000'000)};
const std::string kParse = "Failed to parse StepFun response: Missing usage rate or reset time fields";

std::string windows(const std::string& fiveHourRate, const std::string& fiveHourReset = "1751328000") {
  return R"({"status":1,"five_hour_usage_left_rate":)" + fiveHourRate +
         R"(,"weekly_usage_left_rate":0.6,)"
         R"("five_hour_usage_reset_time":)" +
         fiveHourReset + R"(,"weekly_usage_reset_time":1751932800})";
}

std::string plan(std::string c) { return R"({"status":1,"plan_family":2,"plan_credit_rate_limit":{)" + c + "}}"; }

const auto asText = [](const UsageData& r) { return testing::recordText(r); };

TEST(StepFunService, SendsTheTokenBeforeTheEllipsisAndReadsBothWindows) {
  testing::ServiceWorld world(kNow, Provider::stepFun);
  world.transport.respond(kURL, 200, windows("0.25", "\"1751328000\""));
  const UsageData record = StepFunService(world.context).fetchUsage(" tok-1...shown \n");
  EXPECT_EQ(testing::recordText(record), "40/100 weekly @2025-07-08T00:00:00Z + 75/100 window @2025-07-01T00:00:00Z");
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "POST " + kURL +
                " (60000 ms)\ncontent-type: application/json\noasis-appid: 10300\n"
                "oasis-platform: web\noasis-webid: 5e07b3d91a4c8f26e0b7d35a9c14f8e2b6d0a73c\n"
                "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
                "Chrome/147.0.0.0 Safari/537.36\n"
                "Cookie: Oasis-Token=tok-1; Oasis-Webid=5e07b3d91a4c8f26e0b7d35a9c14f8e2b6d0a73c\n"
                "Accept: application/json\n\n{}");
  EXPECT_EQ(stepfun::normalizedToken("\u00A0ab ...cd"), "ab ");  // no second trim
  EXPECT_EQ(testing::errorText([&] { StepFunService(world.context).fetchUsage(" ...tok"); }),
            "Invalid StepFun credential");
  EXPECT_EQ(world.transport.requestCount(), 1u);
}

TEST(StepFunService, StrictAndLenientFieldsPlatformFailuresAndCreditPlans) {
  const std::string longText(300, 'm');
  // clang-format off
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {200, windows("1.2"), "40/100 weekly @2025-07-08T00:00:00Z + 0/100 window @2025-07-01T00:00:00Z"},
      {200, windows("-0.5", "\"+1751328000\""),
       "40/100 weekly @2025-07-08T00:00:00Z + 100/100 window @2025-07-01T00:00:00Z"},
      // An epoch past the year 9999 is no date; the record stands.
      {200, windows("0", "\"253402300800\""), "40/100 weekly @2025-07-08T00:00:00Z + 100/100 window"},
      // A lenient field of another kind is missing.
      {200, windows("\"0.5\""), kParse}, {200, windows("0.5", "1751328000.5"), kParse},
      {200, windows("0.5", "\"soon\""), kParse}, {200, windows("0.5", "\"9223372036854775808\""), kParse},
      {200, R"({"status":"1"})", "expected an integer at \"status\""}, {200, R"({"status":1,"plan_family":2})", kParse},
      {200, R"({"status":0,"message":"","desc":"d"})", "StepFun API error: "},
      {200, R"({"desc":"quota closed"})", "StepFun API error: quota closed"},
      {200, R"({"status":0})", "StepFun API error: unknown error"},
      {200, R"({"status":2,"message":")" + longText + "\"}", "StepFun API error: " + longText.substr(0, 200)},
      {200, plan(R"("credit_buckets":[{"credit_total":100,"credit_residual":25},)"
                 R"({"credit_total":40,"credit_residual":10},{}],"subscription_credit_reset_time":1751328000)"),
       "75/100 monthly @2025-07-01T00:00:00Z"},
      {200, plan(R"("credit_buckets":[],"topup_credit_left_rate":0.9)"), "10/100 monthly"},
      {200, plan(R"("credit_buckets":[{"credit_total":0}],"subscription_credit_left_rate":0.5,)"
                 R"("topup_credit_left_rate":0.9)"), "50/100 monthly"},
      {200, plan(R"("credit_buckets":[{"credit_total":1e308},{"credit_total":1e308}])"),
       "Unexpected response from StepFun"},
      {200, plan(R"("topup_credit_left_rate":"0.9")"),
       "expected a number at \"plan_credit_rate_limit.topup_credit_left_rate\""},
      {200, plan(""), "0/100 monthly"}, {500, "", "StepFun API error 500"}, {401, "", "Invalid StepFun credential"},
  };
  // clang-format on
  for (const auto& [status, body, want] : cases) {
    SCOPED_TRACE(body.substr(0, 120));
    testing::ServiceWorld world(kNow, Provider::stepFun);
    world.transport.respond(kURL, status, body);
    EXPECT_EQ(testing::outcomeOf([&] { return StepFunService(world.context).fetchUsage("tok-9"); }, asText), want);
  }
}

}  // namespace
}  // namespace dapplewick
