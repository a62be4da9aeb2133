#include "providers/minimax.hpp"

#include <gtest/gtest.h>

#include "providers/shared/user_agents.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"

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
const std::string kCounts = R"("current_interval_total_count":1500,"current_interval_usage_count":)";
std::string entry(const std::string& fields) { return R"({"model_remains":[{)" + fields + "}]}"; }
const std::string kRemains = entry(kCounts + "1200");

const auto asText = [](const UsageData& r) { return testing::recordText(r); };

// A host without a scripted answer fails the fetch, so the outcome shows which hosts were asked.
TEST(MiniMaxService, TheKeyGoesUntrimmedToEachHostAndTheCookieToTheConsole) {
  struct Key {
    int status;
    std::optional<int> china{};
    std::string want;
  };  // china: the China host's, if asked
  const std::vector<Key> keys = {
      {.status = 200, .want = "20/100 window"},
      {.status = 500, .want = "MiniMax API error 500"},
      {.status = 401, .china = 200, .want = "20/100 window"},
      {.status = 403, .china = 401, .want = "Invalid MiniMax credential"},
  };
  const std::string rest = " (60000 ms)\nAuthorization: Bearer  key\nAccept: application/json\nContent-Type: "
                           "application/json\nUser-Agent: " +
                           std::string(kBrowserUserAgent) + "\n\n(no body)";
  for (const auto& c : keys) {
    SCOPED_TRACE(c.status);
    testing::ServiceWorld world(kNow, Provider::minimax);
    world.transport.respond(kInternationalURL, c.status, kRemains);
    if (c.china) world.transport.respond(kChinaURL, *c.china, kRemains);
    EXPECT_EQ(testing::outcomeOf([&] { return MiniMaxService(world.context).fetchUsageWithAPIKey(" key"); }, asText),
              c.want);
    EXPECT_EQ(testing::requestText(world.transport.requests().back()),
              "GET " + (c.china ? kChinaURL : kInternationalURL) + rest);
  }
  // A page answered as JSON is read itself; any other page leads to the web application's remains request (whose
  // answer, 50, differs from the page's).
  struct Page {
    int status;
    HTTPHeaders headers;
    std::string want;
  };
  const HTTPHeaders html{{"content-type", "text/html"}};
  const std::vector<Page> pages = {
      {200, {{"content-type", "Application/JSON; charset=utf-8"}}, "20/100 window"},
      {200, {}, "50/100 window"},
      {200, html, "50/100 window"},
      {403, {{"content-type", "application/json"}}, "Invalid MiniMax credential"},
      {302, html, "MiniMax API error 302"},
  };
  for (const auto& [status, headers, want] : pages) {
    testing::ServiceWorld world(kNow, Provider::minimax);
    world.transport.respond(kPageURL, status, kRemains, headers);
    world.transport.respond(kWebRemainsURL, 200, R"({"data":{"services":[{"usage":5,"limit":10}]}})");
    EXPECT_EQ(testing::outcomeOf([&] { return MiniMaxService(world.context).fetchUsageWithCookie("a=1 "); }, asText),
              want);
    const auto requests = world.transport.requests();
    EXPECT_EQ(testing::requestText(requests.front()),
              "GET " + kPageURL +
                  " (60000 ms)\nCookie: a=1 \nAccept: text/"
                  "html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\n" +
                  kChrome + "Accept-Language: en-US,en;q=0.9\n" + kBrowserOrigin)
        << want;
    if (requests.size() > 1) {
      EXPECT_EQ(testing::requestText(requests.back()),
                "GET " + kWebRemainsURL +
                    " (60000 ms)\nCookie: a=1 \nAccept: "
                    "application/json, text/plain, */*\nx-requested-with: XMLHttpRequest\n" +
                    kChrome + kBrowserOrigin);
    }
  }
}

// Counts are what is left of the allowance; reset times come from a future end, else now plus the time left.
TEST(MiniMaxRemains, ReadsTheServicesFormThenTheFirstModelRemains) {
  const std::string none = "Failed to parse MiniMax response: No model_remains in response", zero = "0/100 window";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"data":{"services":[{"limit":0},{"service_type":"x","usage":30,"limit":120}]}})", "25/100 window"},
      {R"({"data":{"services":[{"limit":100,"percent":140}]}})", "100/100 window"},
      {R"({"data":{"services":[{"limit":-1}]},"model_remains":[{}]})", "0/100 window"},
      {R"({"data":{"services":[{"limit":"100"}]}})", none},
      {R"({"model_remains":[{},1]})", none},
      {entry(kCounts + R"(1200,"end_time":1760000000,"remains_time":3600)"), "20/100 window @2025-10-09T09:53:20Z"},
      {entry(kCounts + R"(1600,"end_time":1000000000,"remains_time":3600000)"), "0/100 window @2025-10-09T09:53:20Z"},
      {entry(kCounts + R"(" 1200\t","end_time":1760003600000)"), "20/100 window @2025-10-09T09:53:20Z"},
      {entry(kCounts + R"("1200\n","end_time":"1760007200")"), "0/100 window @2025-10-09T10:53:20Z"},
      {entry(kCounts + R"(1200.9,"end_time":0,"remains_time":0)"), "20/100 window"},
      {entry(kCounts + R"(-9223372036854775807,"remains_time":1000000)"), "100/100 window @2025-10-20T22:40:00Z"},
      {entry(kCounts + R"(1e30,"remains_time":9223372036854775807)"), zero},
      {entry(R"("remains_time":300000000000000)"), zero},
      {entry(R"("current_weekly_total_count":10000)"), zero},
      {entry(R"("end_time":253402300800000,"remains_time":60)"), "0/100 window @2025-10-09T08:54:20Z"},
      {R"({"data":{"model_remains":[{"current_weekly_total_count":"10000","current_weekly_usage_count":2500,)"
       R"("weekly_end_time":1760086400}]}})",
       "0/100 window + 75/100 weekly @2025-10-10T08:53:20Z"},
      {R"({"model_remains":[],"data":{"model_remains":[{}]}})", none},
      {"<html></html>", "Failed to parse MiniMax response: Invalid JSON"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(testing::outcomeOf([&] { return minimax::parseRemains(c.first, kNow); }, asText), c.second) << c.first;
  }
}

}  // namespace
}  // namespace dapplewick
