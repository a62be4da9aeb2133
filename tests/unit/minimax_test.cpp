#include "providers/minimax.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "providers/shared/user_agents.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kInternationalURL = "https://api.minimax.io/v1/api/openplatform/coding_plan/remains";
const std::string kChinaURL = "https://api.minimaxi.com/v1/api/openplatform/coding_plan/remains";
const std::string kPlatform = "https://platform.minimax.io";
const std::string kPageURL = kPlatform + "/user-center/payment/coding-plan?cycle_type=3";
const std::string kWebRemainsURL = kPlatform + "/v1/api/openplatform/coding_plan/remains";
const std::string kChrome = "User-Agent: " + std::string(kChrome143UserAgent) + "\n";
const std::string kBrowserOrigin =
    "Origin: " + kPlatform + "\nReferer: " + kPlatform + "/user-center/payment/coding-plan\n\n(no body)";
const Timestamp kNow{std::chrono::milliseconds{1'760'000'000'000}};  // 2025-10-09T08:53:20Z
const std::string kRemains = R"({"model_remains":[{"current_interval_total_count":1500,)"
                             R"("current_interval_usage_count":1200}]})";

std::string describe(const UsageData& r) {
  std::string text = formatDecimal(r.used, 2).value_or("?") + " " + std::string(caseName(r.resetPeriod)) + " " +
                     (r.resetAt ? formatRFC3339Seconds(*r.resetAt) : "-");
  for (const UsageData& aux : r.auxiliaryUsage) text += " | " + describe(aux);
  return text;
}

TEST(MiniMaxService, SendsTheKeyUntrimmedToTheInternationalHostThenTheChinaHost) {
  struct Case {
    int status, chinaStatus;  // chinaStatus -1: never asked
    std::string want;
  };
  const std::vector<Case> cases = {
      {200, -1, "20 window -"},
      {401, 200, "20 window -"},
      {403, 401, "Invalid MiniMax credential"},
      {500, -1, "MiniMax API error 500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow);
    world.transport.respond(kInternationalURL, c.status, kRemains);
    if (c.chinaStatus >= 0) world.transport.respond(kChinaURL, c.chinaStatus, kRemains);
    EXPECT_EQ(testing::outcomeOf([&] { return MiniMaxService(world.context).fetchUsageWithAPIKey(" key"); }, describe),
              c.want);
    const std::string rest = " (60000 ms)\nAuthorization: Bearer  key\nAccept: application/json\nContent-Type: "
                             "application/json\nUser-Agent: " + std::string(kBrowserUserAgent) + "\n\n(no body)";
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.chinaStatus >= 0 ? 2u : 1u);
    EXPECT_EQ(testing::requestText(requests[0]), "GET " + kInternationalURL + rest);
    if (c.chinaStatus >= 0) {
      EXPECT_EQ(testing::requestText(requests[1]), "GET " + kChinaURL + rest);
    }
  }
}

// A page answered as JSON is read itself; any other page leads to the web application's remains request.
TEST(MiniMaxService, TheCookiePathReadsAJSONPageOrAsksForTheRemains) {
  struct Case {
    int pageStatus;
    std::optional<std::string> contentType;
    std::string want;
    bool asksRemains;
  };
  const std::vector<Case> cases = {
      {200, "Application/JSON; charset=utf-8", "20 window -", false},
      {200, "text/html", "50 window -", true},
      {200, std::nullopt, "50 window -", true},
      {403, "application/json", "Invalid MiniMax credential", false},
      {302, "text/html", "MiniMax API error 302", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow);
    HTTPHeaders headers;
    if (c.contentType) headers.add("content-type", *c.contentType);
    world.transport.respond(kPageURL, c.pageStatus, kRemains, headers);
    world.transport.respond(kWebRemainsURL, 200, R"({"data":{"services":[{"usage":5,"limit":10}]}})");
    EXPECT_EQ(testing::outcomeOf([&] { return MiniMaxService(world.context).fetchUsageWithCookie("a=1 "); }, describe),
              c.want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.asksRemains ? 2u : 1u);
    EXPECT_EQ(testing::requestText(requests[0]),
              "GET " + kPageURL + " (60000 ms)\nCookie: a=1 \n"
              "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\n" + kChrome +
              "Accept-Language: en-US,en;q=0.9\n" + kBrowserOrigin);
    if (c.asksRemains) {
      EXPECT_EQ(testing::requestText(requests[1]),
                "GET " + kWebRemainsURL + " (60000 ms)\nCookie: a=1 \nAccept: application/json, text/plain, */*\n"
                "x-requested-with: XMLHttpRequest\n" + kChrome + kBrowserOrigin);
    }
  }
}

// Counts are what is left of the allowance; reset times come from a future end, else now plus the time left.
TEST(MiniMaxRemains, ReadsTheServicesFormThenTheFirstModelRemains) {
  const auto entry = [](const std::string& fields) { return R"({"model_remains":[{)" + fields + "}]}"; };
  const std::string counts = R"("current_interval_total_count":1500,"current_interval_usage_count":)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"data":{"services":[{"limit":0},{"service_type":"x","usage":30,"limit":120}]}})", "25 window -"},
      {R"({"data":{"services":[{"limit":100,"percent":140}]}})", "100 window -"},
      {R"({"data":{"services":[{"limit":-1}]},"model_remains":[{}]})", "0 window -"},
      {R"({"data":{"services":[{"limit":"100"}]}})", "Failed to parse MiniMax response: No model_remains in response"},
      {entry(counts + R"(1200,"end_time":1760000000,"remains_time":3600)"), "20 window 2025-10-09T09:53:20Z"},
      {entry(counts + R"(1600,"end_time":1000000000,"remains_time":3600000)"), "0 window 2025-10-09T09:53:20Z"},
      {entry(counts + R"(" 1200\t","end_time":1760003600000)"), "20 window 2025-10-09T09:53:20Z"},
      {entry(counts + R"("1200\n","end_time":"1760007200")"), "0 window 2025-10-09T10:53:20Z"},
      {entry(counts + R"(1200.9,"end_time":0,"remains_time":0)"), "20 window -"},
      {entry(counts + R"(-9223372036854775807,"remains_time":1000000)"), "100 window 2025-10-20T22:40:00Z"},
      {entry(counts + R"(1e30,"remains_time":9223372036854775807)"), "0 window -"},
      {entry(R"("current_interval_total_count":0,"current_interval_usage_count":0,"remains_time":300000000000000)"),
       "0 window -"},
      {entry(R"("end_time":253402300800000,"remains_time":60)"), "0 window 2025-10-09T08:54:20Z"},
      {R"({"data":{"model_remains":[{"current_weekly_total_count":"10000","current_weekly_usage_count":2500,)"
       R"("weekly_end_time":1760086400}]}})", "0 window - | 75 weekly 2025-10-10T08:53:20Z"},
      {entry(R"("current_weekly_total_count":10000)"), "0 window -"},
      {R"({"model_remains":[],"data":{"model_remains":[{}]}})",
       "Failed to parse MiniMax response: No model_remains in response"},
      {R"({"model_remains":[{},1]})", "Failed to parse MiniMax response: No model_remains in response"},
      {"<html></html>", "Failed to parse MiniMax response: Invalid JSON"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(testing::outcomeOf([&] { return minimax::parseRemains(c.first, kNow); }, describe), c.second) << c.first;
  }
}

}  // namespace
}  // namespace dapplewick
