#include "providers/warp.hpp"

#include <gtest/gtest.h>

#include <re2/re2.h>

#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kURL = "https://app.warp.dev/graphql/v2?op=GetRequestLimitInfo";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};

std::string outcome(int status, const std::string& body) {
  testing::ServiceWorld world(kNow, Provider::warp);
  world.transport.respond(kURL, status, body);
  return testing::outcomeOf([&] { return WarpService(world.context, "6.1.0").fetchUsage("api: wk\n"); },
                            [](const UsageData& r) { return testing::recordText(r); });
}

std::string info(const std::string& f) { return R"({"data":{"user":{"user":{"requestLimitInfo":{)" + f + "}}}}}"; }

TEST(WarpService, SystemVersionInThreePartsLenientTruthAndCounts) {
  const std::vector<std::pair<std::string, std::string>> versions = {
      {"6.1.0-18-amd64", "6.1.0"}, {"5.15.167.4-microsoft", "5.15.167"},
      {"6.8-rc1", "6.8.0"},        {"99999999999999999999.2", "0.2.0"},
      {"07.01.", "7.1.0"},         {"", "0.0.0"}};
  for (const auto& [release, want] : versions) EXPECT_EQ(warp::threePartVersion(release), want) << release;
  EXPECT_TRUE(RE2::FullMatch(warp::runningOSVersion(), R"(\d+\.\d+\.\d+)")) << warp::runningOSVersion();
  const std::vector<std::pair<Json, bool>> truths = {
      {true, true},   {1, true},  {0.5, true},  {"YES", true},    {"1", true},
      {false, false}, {0, false}, {"y", false}, {nullptr, false}, {Json::array({"true"}), false}};
  for (const auto& [json, want] : truths) EXPECT_EQ(warp::boolValue(&json), want) << json;
  EXPECT_FALSE(warp::boolValue(nullptr));
  // clang-format off
  const std::vector<std::pair<Json, std::int64_t>> counts = {{150, 150}, {"150", 150}, {"+150", 150}, {"-3", -3},
      {12.9, 12}, {-12.9, -12}, {"150.5", 0}, {" 150", 0}, {"", 0}, {true, 0}, {INT64_MAX, INT64_MAX},
      {9223372036854775808ULL, 0}, {1e19, 0}, {-1e300, 0}, {"9223372036854775808", 0}};
  // clang-format on
  for (const auto& [json, want] : counts) EXPECT_EQ(warp::intValue(&json), want) << json;
  EXPECT_EQ(warp::intValue(nullptr), 0);
}

TEST(WarpService, PresentsItselfAsTheWarpClientAndReadsTheRequestLimitInfo) {
  testing::ServiceWorld world(kNow, Provider::warp);
  world.transport.respond(kURL, 200, info(R"("isUnlimited":"YES","requestLimit":150,"nextRefreshTime":"2025-07-01Z")"));
  UsageData want = UsageData::blank(Provider::warp);
  want.lastUpdated = kNow;
  want.note = "Unlimited plan";
  EXPECT_EQ(WarpService(world.context, "6.1.0").fetchUsage("api: wk\n"), want);
  EXPECT_EQ(
      testing::requestText(world.transport.requests().at(0)),
      "POST " + kURL +
          " (60000 ms)\nContent-Type: application/json\nAccept: application/json\n"
          "Authorization: Bearer wk\nx-warp-client-id: warp-app\nx-warp-os-category: macOS\nx-warp-os-name: macOS\n"
          "User-Agent: Warp/1.0\nx-warp-os-version: 6.1.0\n\n"
          R"({"query":"query GetRequestLimitInfo($requestContext: RequestContext!) {\n  user(requestContext: )"
          R"($requestContext) {\n    __typename\n    ... on UserOutput {\n      user {\n        requestLimitInfo {\n)"
          R"(          isUnlimited\n          nextRefreshTime\n          requestLimit\n          )"
          R"(requestsUsedSinceLastRefresh\n        }\n      }\n    }\n  }\n}","variables":{"requestContext":)"
          R"({"clientContext":{},"osContext":{"category":"macOS","name":"macOS","version":"6.1.0"}}},)"
          R"("operationName":"GetRequestLimitInfo"})");
  const std::string bad = "Unexpected response from Warp";
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {200, info(R"("requestLimit":"150","requestsUsedSinceLastRefresh":40,"nextRefreshTime":"2025-07-01T00:00:00Z")"),
       "40/150 monthly @2025-07-01T00:00:00Z"},
      {200, R"({"errors":[],)" + info(R"("requestLimit":150.7,"nextRefreshTime":"July")").substr(1), "0/150 monthly"},
      // A refused key arrives as a 200 answer with errors, tested before the data.
      {200, R"({"errors":[{"message":"Unauthorized"}],"data":null})", "Invalid Warp API key"},
      {200, R"({"data":null})", bad},
      {200, R"({"data":{"user":{"user":{"requestLimitInfo":[]}}}})", bad},
      {200, R"([{"data":1}])", bad},
      {200, "<html>", bad},
      {401, "", "Invalid Warp API key"},
      {429, "", "Warp API error 429"},
  };
  for (const auto& [status, body, text] : cases) EXPECT_EQ(outcome(status, body), text) << body;
}

}  // namespace
}  // namespace dapplewick
