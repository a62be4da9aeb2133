#include "providers/warp.hpp"

#include <gtest/gtest.h>

#include <re2/re2.h>

#include <string>
#include <vector>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://app.warp.dev/graphql/v2?op=GetRequestLimitInfo";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string outcome(int status, const std::string& body) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, status, body);
  return testing::outcomeOf([&] { return WarpService(world.context, "6.1.0").fetchUsage("api: wk\n"); },
                            [](const UsageData& data) {
                              return formatFixed(data.used, 0) + "/" + formatFixed(data.limit, 0) + " " +
                                     (data.resetAt ? formatRFC3339Seconds(*data.resetAt) : "-") + " " +
                                     data.note.value_or("-");
                            });
}

std::string info(const std::string& fields) {
  return R"({"data":{"user":{"user":{"requestLimitInfo":{)" + fields + "}}}}}";
}

TEST(WarpService, PresentsItselfAsTheWarpClient) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kURL, 200, info(R"("isUnlimited":"YES","requestLimit":150,"nextRefreshTime":"2025-07-01Z")"));
  UsageData want = UsageData::blank(Provider::warp);
  want.lastUpdated = kNow;
  want.note = "Unlimited plan";
  EXPECT_EQ(WarpService(world.context, "6.1.0").fetchUsage("api: wk\n"), want);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)),
            "POST " + kURL + " (60000 ms)\nContent-Type: application/json\nAccept: application/json\n"
            "Authorization: Bearer wk\nx-warp-client-id: warp-app\nx-warp-os-category: macOS\nx-warp-os-name: macOS\n"
            "User-Agent: Warp/1.0\nx-warp-os-version: 6.1.0\n\n"
            R"({"query":"query GetRequestLimitInfo($requestContext: RequestContext!) {\n  user(requestContext: )"
            R"($requestContext) {\n    __typename\n    ... on UserOutput {\n      user {\n        requestLimitInfo {\n)"
            R"(          isUnlimited\n          nextRefreshTime\n          requestLimit\n          )"
            R"(requestsUsedSinceLastRefresh\n        }\n      }\n    }\n  }\n}","variables":{"requestContext":)"
            R"({"clientContext":{},"osContext":{"category":"macOS","name":"macOS","version":"6.1.0"}}},)"
            R"("operationName":"GetRequestLimitInfo"})");
}

TEST(WarpService, SystemVersionInThreeParts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"6.1.0-18-amd64", "6.1.0"}, {"5.15.167.4-microsoft", "5.15.167"}, {"6.8-rc1", "6.8.0"},
      {"15", "15.0.0"},            {"07.01.", "7.1.0"},                   {"", "0.0.0"}};
  for (const auto& [release, want] : cases) EXPECT_EQ(warp::threePartVersion(release), want) << release;
  EXPECT_TRUE(RE2::FullMatch(warp::runningOSVersion(), R"(\d+\.\d+\.\d+)")) << warp::runningOSVersion();
}

TEST(WarpService, LenientTruthAndCounts) {
  const std::vector<std::pair<std::string, bool>> truths = {
      {"true", true}, {"1", true},       {"0.5", true},  {R"("YES")", true},   {R"("1")", true}, {"false", false},
      {"0", false},   {R"("y")", false}, {"null", false}, {R"(["true"])", false}};
  for (const auto& [json, want] : truths) {
    const Json value = Json::parse(json);
    EXPECT_EQ(warp::boolValue(&value), want) << json;
  }
  EXPECT_FALSE(warp::boolValue(nullptr));
  const std::vector<std::pair<std::string, std::int64_t>> counts = {
      {"150", 150}, {R"("150")", 150}, {R"("+150")", 150}, {R"("-3")", -3}, {"12.9", 12}, {"-12.9", -12},
      {R"("150.5")", 0}, {R"(" 150")", 0}, {R"("")", 0}, {"true", 0}, {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", 0}, {"1e19", 0}, {"-1e300", 0}, {R"("9223372036854775808")", 0}};
  for (const auto& [json, want] : counts) {
    const Json value = Json::parse(json);
    EXPECT_EQ(warp::intValue(&value), want) << json;
  }
  EXPECT_EQ(warp::intValue(nullptr), 0);
}

TEST(WarpService, ReadsTheRequestLimitInfo) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {info(R"("isUnlimited":false,"requestLimit":"150","requestsUsedSinceLastRefresh":40,)"
            R"("nextRefreshTime":"2025-07-01T00:00:00.000Z")"),
       "40/150 2025-07-01T00:00:00Z -"},
      {info(R"("isUnlimited":1,"requestLimit":150,"requestsUsedSinceLastRefresh":40)"), "0/0 - Unlimited plan"},
      {info(R"("requestLimit":150.7,"nextRefreshTime":"2025-07-01T00:00:00+02:00")"),
       "0/150 2025-06-30T22:00:00Z -"},
      {info(R"("requestLimit":" 150","nextRefreshTime":"July")"), "0/0 - -"},
      {R"({"errors":[],)" + info("").substr(1), "0/0 - -"},
      // A refused key arrives as a 200 answer with errors, tested before the data.
      {R"({"errors":[{"message":"Unauthorized"}],"data":null})", "Invalid Warp API key"},
      {R"({"data":null})", "Unexpected response from Warp"},
      {R"({"data":{"user":{"user":{"requestLimitInfo":[]}}}})", "Unexpected response from Warp"},
      {R"([{"data":1}])", "Unexpected response from Warp"},
      {"<html>", "Unexpected response from Warp"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(outcome(200, body), want) << body;
  EXPECT_EQ(outcome(401, ""), "Invalid Warp API key");
  EXPECT_EQ(outcome(429, ""), "Warp API error 429");
}

}  // namespace
}  // namespace dapplewick
