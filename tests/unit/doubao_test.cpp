#include "providers/doubao.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::chrono_literals;

const std::string kCodingURL = "https://open.volcengineapi.com/?Action=GetCodingPlanUsage&Version=2024-01-01";
const std::string kAgentURL = "https://open.volcengineapi.com/?Action=GetAFPUsage&Version=2024-01-01";
const std::string kProbeURL = "https://ark.cn-beijing.volces.com/api/coding/v3/chat/completions";
const Timestamp kNow = *parseInternetDate("2026-01-05T09:30:12Z");
using testing::kNotHTTP;
std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

std::string coding(const std::string& rows) { return R"({"Result":{"Status":"ok","QuotaUsage":[)" + rows + "]}}"; }
const std::string kMain = " 'Doubao Coding/Agent Plan quota via Volcengine AK/SK.'";

TEST(DoubaoCredential, PairsAndRegions) {
  const std::pair<std::string, std::string> cases[] = {
      {" id : secret \n", "id secret cn-beijing"},
      {"id:secret:ap-southeast-1", "id secret ap-southeast-1"},
      {"id:secret: ", "id secret cn-beijing"},
      {" :secret", "none"},
      {"id:", "none"},
      {"a:b:c:d", "none"},
  };
  for (const auto& [text, want] : cases) {
    const auto p = doubao::parseCredential(text);
    EXPECT_EQ(p ? p->accessKeyId + " " + p->secretAccessKey + " " + p->region : "none", want) << text;
  }
}

// Both plan calls signed in turn; the Coding Plan rows, then the Agent Plan windows in their fixed order, mapped.
TEST(DoubaoService, PlansAndTheirMapping) {
  const std::string jan8 = " @2026-01-08T00:00:00Z", parse = "Failed to parse Doubao response: ";
  const std::string webPage =
      "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)";
  const std::string empty = "0/0 window 'Doubao AK/SK credentials are valid but no active Coding/Agent Plan quota "
                            "was found.'";
  const std::string keys = "api: AKLTEXAMPLE : c2VjcmV0LWtleS1leGFtcGxl== ";
  struct Case {  // the Coding Plan answer, the Agent Plan answer (no status: never asked), the outcome
    int codingStatus = 200;
    std::string coding = "";
    std::optional<int> agentStatus = {};
    std::string agent = "", want;
  };
  // clang-format off
  const Case cases[] = {
      {.coding = coding(R"({"Level":"5h","Percent":1},{"Level":"session","Percent":2},{"Level":"5h","Percent":3},)"
                        R"({"Level":"Week","Percent":4},{"Level":"daily","Percent":5})"),
       .agentStatus = 200, .agent = R"({"Result":{"AFPMonthly":{"Quota":120,"Used":30}}})",
       .want = "1/100 window" + kMain + " + 4/100 weekly + 2/100 window 'session' + 5/100 window 'daily' + "
               "25/100 monthly 'agent_monthly'"},
      {.coding = coding(R"({"Level":"MONTHLY","Percent":130,"ResetTimestamp":1767830400})"), .agentStatus = 403,
       .want = "100/100 monthly" + jan8 + kMain + " + 100/100 monthly" + jan8},
      {.coding = coding(""), .agentStatus = 200,
       .agent = R"({"Result":{"AFPMonthly":{"Quota":10,"Used":20},"AFPWeekly":{"Quota":4,"Used":1,)"
                R"("ResetTime":1767830400000},"AFPFiveHour":{"Quota":100,"Used":-5}}})",
       .want = "0/100 monthly" + kMain + " + 0/100 window 'agent_5h' + 25/100 weekly" + jan8 +
               " 'agent_weekly' + 100/100 monthly 'agent_monthly'"},
      {.coding = coding(R"({"Level":"x_weekly_monthly","Percent":7},{"Level":"y","Percent":8,"ResetTimestamp":0})"),
       .agentStatus = 500, .want = "7/100 monthly" + kMain + " + 7/100 weekly 'x_weekly_monthly' + 8/100 window 'y'"},
      {.coding = R"({"Result":{"QuotaUsage":null}})", .agentStatus = 200,
       .agent = R"({"Result":{"AFPWeekly":{"Quota":0,"Used":30}}})", .want = empty},
      {.coding = coding(""), .agentStatus = 500, .agent = R"({"message":"busy"})",
       .want = "Doubao API error (500): busy"},
      {.coding = R"({"Result":{"QuotaUsage":[{"Percent":1}]}})",
       .want = parse + "missing key \"Result.QuotaUsage[0].Level\""},
      {.coding = " ", .want = parse + "the answer is empty, not JSON"},
      {.coding = "<html>", .want = parse + webPage},
      {.codingStatus = 401, .coding = R"({"message":"bad key"})", .want = "Doubao API error (401): bad key"},
      {.coding = R"({"Result":{}})", .agentStatus = 404, .want = empty},
      {.codingStatus = kNotHTTP, .want = "Unexpected response from Doubao"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.coding + " then " + c.agent);
    testing::ServiceWorld world(kNow, Provider::doubao);
    c.codingStatus == kNotHTTP ? world.transport.respondNotHTTP(kCodingURL)
                               : world.transport.respond(kCodingURL, c.codingStatus, c.coding);
    if (c.agentStatus) world.transport.respond(kAgentURL, *c.agentStatus, c.agent);
    EXPECT_EQ(testing::outcomeOf([&] { return DoubaoService(world.context).fetchUsage(keys); }, show), c.want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.agentStatus ? 2u : 1u);
    EXPECT_EQ(testing::requestText(requests[0]),
              "POST " + kCodingURL +
                  " (15000 ms)\nAccept: application/json\n"
                  "Content-Type: application/x-www-form-urlencoded; charset=utf-8\nX-Date: 20260105T093012Z\n"
                  "X-Content-Sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n"
                  "Host: open.volcengineapi.com\nAuthorization: HMAC-SHA256 Credential=AKLTEXAMPLE/20260105/cn-beijing/"
                  "ark/request, SignedHeaders=content-type;host;x-content-sha256;x-date, "
                  "Signature=c090b962899624c15bc310d33e849fdeb4c4601d7d67c5648a3cb4eb9088a031\n\n");
    EXPECT_EQ(requests.back().url, c.agentStatus ? kAgentURL : kCodingURL);
  }
}

TEST(DoubaoErrorBody, FirstReadableMessage) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"ResponseMetadata":{"Error":{"Code":"","Message":"no"}},"message":"other"})", ": no"},
      {R"({"ResponseMetadata":{"Error":{"Code":1}},"error":{"message":"nested"},"message":"top"})", "nested"},
      {R"({"error":{"message":""},"message":"top"})", "top"},
      {"<html>", "HTTP 502"},
      {R"(["message"])", "HTTP 502"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(doubao::apiErrorMessage(502, body), want) << body;
}

// Models in order: 403 and 404 move on, 429 is a working key, anything else ends at once.
TEST(DoubaoProbe, ModelsInTurn) {
  const std::string statusOnly = "0/0 window 'Doubao API key is active (status only). Provide AK/SK credentials "
                                 "for real Coding/Agent Plan usage.'";
  const std::pair<std::vector<int>, std::string> cases[] = {
      {{404, 200}, statusOnly},
      {{403, 403}, "Doubao API error (403): second"},
      {{429}, statusOnly},
      {{401}, "Doubao API error (401): first"},
      {{kNotHTTP}, "Unexpected response from Doubao"},
  };
  for (const auto& [codes, want] : cases) {
    testing::ServiceWorld world(kNow, Provider::doubao);
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const std::string body = i == 0 ? R"({"message":"first"})" : R"({"message":"second"})";
      codes[i] == kNotHTTP ? world.transport.respondNotHTTP(kProbeURL)
                           : world.transport.respond(kProbeURL, codes[i], body);
    }
    EXPECT_EQ(testing::outcomeOf([&] { return DoubaoService(world.context).fetchUsage("web: ark-key\n"); }, show),
              want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), codes.size()) << want;
    EXPECT_EQ(testing::requestText(requests[0]),
              "POST " + kProbeURL +
                  " (60000 ms)\nContent-Type: application/json\nAccept: application/json\n"
                  "Authorization: Bearer ark-key\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                  "AppleWebKit/537.36\n\n"
                  R"({"model":"doubao-seed-2.0-code","max_tokens":1,"messages":[{"role":"user","content":"hi"}]})");
    EXPECT_NE(requests.back().body->find(codes.size() > 1 ? "doubao-1.5-pro-32k" : "doubao-seed"), std::string::npos);
  }
}

TEST(DoubaoProbe, RateLimitHeaders) {
  const auto counted = [](const std::string& used, const std::string& counts) {
    return used + " Doubao request rate limit (diagnostic, not Coding/Agent Plan quota): " + counts +
           " requests in this window.";
  };
  // clang-format off
  const std::tuple<std::string, std::string, std::string> cases[] = {  // remaining, limit, outcome
      {"0", "60", counted("100.0", "60/60")}, {"45", "60", counted("25.0", "15/60")},
      {"70", "60", counted("0.0", "-10/60")}, {"+5", "10", counted("50.0", "5/10")},
      {"0", "0", "status"}, {"5", "x", "status"}, {"-9223372036854775808", "9223372036854775807", "status"},
  };
  // clang-format on
  for (const auto& [remaining, limit, want] : cases) {
    const UsageData record = doubao::makeProbeUsageData(
        {{"X-RateLimit-Remaining-Requests", remaining}, {"x-ratelimit-limit-requests", limit}}, kNow);
    EXPECT_EQ(record.limit == 0 ? "status" : formatFixed(record.used, 1) + " " + record.note.value_or(""), want)
        << remaining << "|" << limit;
  }
}

TEST(DoubaoProbe, ResetTexts) {
  // clang-format off
  const std::pair<std::string, std::optional<Timestamp>> cases[] = {
      {" 1m30s ", kNow + 90s}, {"1d2h", kNow + 26h}, {"90", kNow + 90s}, {"-1.5", kNow - 1500ms}, {"0s", std::nullopt},
      {"soon", std::nullopt}, {"2026-02-01T00:00:00.5Z", *parseInternetDate("2026-02-01T00:00:00.5Z")},
      {"99999999999999999999s", std::nullopt}, {"106751991167300d", std::nullopt}, {"1e300", std::nullopt},
      {"20ms", kNow + 20ms}, {"500ms", kNow + 500ms}, {"1.5s", kNow + 1500ms}, {"6m0.5s", kNow + 360500ms},
      {"1h2m3.25s", kNow + 3723250ms}, {".5s", kNow + 500ms}, {"1.001s", kNow + 1001ms},
  };
  // clang-format on
  for (const auto& [text, want] : cases) EXPECT_EQ(doubao::parseResetText(text, kNow), want) << text;
}

}  // namespace
}  // namespace dapplewick
