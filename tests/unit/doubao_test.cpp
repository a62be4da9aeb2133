#include "providers/doubao.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using std::chrono::seconds;

const std::string kCodingURL = "https://open.volcengineapi.com/?Action=GetCodingPlanUsage&Version=2024-01-01";
const std::string kAgentURL = "https://open.volcengineapi.com/?Action=GetAFPUsage&Version=2024-01-01";
const std::string kProbeURL = "https://ark.cn-beijing.volces.com/api/coding/v3/chat/completions";
const Timestamp kNow = *parseInternetDate("2026-01-05T09:30:12Z");

// "used/limit period [note]", then each auxiliary record the same way after " + ".
std::string describe(const UsageData& record) {
  const auto one = [](const UsageData& r) {
    return formatFixed(r.used, 1) + "/" + formatFixed(r.limit, 0) + " " + std::string(caseName(r.resetPeriod)) +
           (r.resetAt ? " @" + formatRFC3339Seconds(*r.resetAt) : "") + (r.note ? " [" + *r.note + "]" : "");
  };
  std::string text = one(record);
  for (const UsageData& aux : record.auxiliaryUsage) text += " + " + one(aux);
  return text;
}

std::string coding(const std::string& rows) { return R"({"Result":{"Status":"ok","QuotaUsage":[)" + rows + "]}}"; }
std::string row(const std::string& level, double percent) {
  return R"({"Level":")" + level + R"(","Percent":)" + formatFixed(percent, 1) + "}";
}
const std::string kMain = " [Doubao Coding/Agent Plan quota via Volcengine AK/SK.]";

TEST(DoubaoService, SignsBothPlanCallsInTurn) {
  testing::ServiceWorld world(kNow);
  world.transport.respond(kCodingURL, 200, coding(row("session", 42.5) + "," + row("weekly", 10)));
  world.transport.respond(kAgentURL, 200, R"({"Result":{"AFPMonthly":{"Quota":120,"Used":30}}})");
  EXPECT_EQ(describe(DoubaoService(world.context).fetchUsage("api: AKLTEXAMPLE : c2VjcmV0LWtleS1leGFtcGxl== ")),
            "42.5/100 window" + kMain + " + 10.0/100 weekly + 25.0/100 monthly [agent_monthly]");
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(testing::requestText(requests[0]),
            "POST " + kCodingURL + " (15000 ms)\nAccept: application/json\n"
            "Content-Type: application/x-www-form-urlencoded; charset=utf-8\nX-Date: 20260105T093012Z\n"
            "X-Content-Sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n"
            "Host: open.volcengineapi.com\nAuthorization: HMAC-SHA256 Credential=AKLTEXAMPLE/20260105/cn-beijing/"
            "ark/request, SignedHeaders=content-type;host;x-content-sha256;x-date, "
            "Signature=c090b962899624c15bc310d33e849fdeb4c4601d7d67c5648a3cb4eb9088a031\n\n");
  EXPECT_EQ(requests[1].url, kAgentURL);
}

TEST(DoubaoCredential, PairsAndRegions) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" id : secret \n", "id secret cn-beijing"}, {"id:secret:ap-southeast-1", "id secret ap-southeast-1"},
      {"id:secret: \t", "id secret cn-beijing"},   {"id:secret:", "id secret cn-beijing"},
      {" :secret", "none"}, {"id:", "none"}, {"ark-key", "none"}, {"a:b:c:d", "none"}, {"", "none"},
  };
  for (const auto& [text, want] : cases) {
    const auto parsed = doubao::parseCredential(text);
    EXPECT_EQ(parsed ? parsed->accessKeyId + " " + parsed->secretAccessKey + " " + parsed->region : "none", want)
        << text;
  }
}

// The Coding Plan rows, then the Agent Plan windows in their fixed order, mapped.
TEST(DoubaoService, PlansAndTheirMapping) {
  struct Case {
    std::string codingBody;
    int agentStatus;  // 0: no answer wanted
    std::string agentBody, want;
    int codingStatus = 200;  // 0: an answer that is not HTTP
  };
  const std::string agentAll =
      R"({"Result":{"AFPMonthly":{"Quota":10,"Used":20},"AFPWeekly":{"Quota":4,"Used":1,"ResetTime":1767830400000},)"
      R"("AFPFiveHour":{"Quota":100,"Used":-5}}})";
  const std::string empty = "0.0/0 window [Doubao AK/SK credentials are valid but no active Coding/Agent Plan quota "
                            "was found.]";
  const std::vector<Case> cases = {
      {coding(R"({"Level":"MONTHLY","Percent":130,"ResetTimestamp":1767830400})"), 404, "",
       "100.0/100 monthly @2026-01-08T00:00:00Z" + kMain + " + 100.0/100 monthly @2026-01-08T00:00:00Z"},
      {coding(""), 200, agentAll,
       "0.0/100 monthly" + kMain + " + 0.0/100 window [agent_5h] + 25.0/100 weekly @2026-01-08T00:00:00Z "
       "[agent_weekly] + 100.0/100 monthly [agent_monthly]"},
      {coding(row("5h", 1) + "," + row("session", 2) + "," + row("5h", 3) + "," + row("Week", 4) + "," +
              row("daily", 5)),
       403, "", "1.0/100 window" + kMain + " + 4.0/100 weekly + 2.0/100 window [session] + 5.0/100 window [daily]"},
      {coding(row("x_weekly_monthly", 7) + R"(,{"Level":"y","Percent":8,"ResetTimestamp":0})"), 500, "",
       "7.0/100 monthly" + kMain + " + 7.0/100 weekly [x_weekly_monthly] + 8.0/100 window [y]"},
      {R"({"Result":{}})", 404, "", empty},
      {R"({"Result":{"QuotaUsage":null}})", 200, R"({"Result":{"AFPWeekly":{"Quota":0,"Used":30}}})", empty},
      {coding(""), 500, R"({"ResponseMetadata":{"Error":{"Code":"InternalError","Message":"busy"}}})",
       "Doubao API error (500): InternalError: busy"},
      {coding(""), 200, R"({"Result":{"AFPWeekly":{"Quota":"4","Used":1}}})",
       "Failed to parse Doubao response: expected a number at \"Result.AFPWeekly.Quota\""},
      {coding(row("5h", 1)), 200, "{", "1.0/100 window" + kMain},
      {R"({"Result":{"QuotaUsage":[{"Level":"5h","Percent":"42"}]}})", 0, "",
       "Failed to parse Doubao response: expected a number at \"Result.QuotaUsage[0].Percent\""},
      {R"({"Result":{"QuotaUsage":[{"Percent":1}]}})", 0, "",
       "Failed to parse Doubao response: missing key \"Result.QuotaUsage[0].Level\""},
      {R"({"ResponseMetadata":{}})", 0, "", "Failed to parse Doubao response: missing key \"Result\""},
      {R"({"ResponseMetadata":{"Error":{"Code":"InvalidSecret","Message":"bad key"}}})", 0, "",
       "Doubao API error (401): InvalidSecret: bad key", 401},
      {"", 0, "", "Unexpected response from Doubao", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codingBody + " " + c.agentBody);
    testing::ServiceWorld world(kNow);
    c.codingStatus == 0 ? world.transport.respondNotHTTP(kCodingURL)
                        : world.transport.respond(kCodingURL, c.codingStatus, c.codingBody);
    if (c.agentStatus != 0) world.transport.respond(kAgentURL, c.agentStatus, c.agentBody);
    EXPECT_EQ(testing::outcomeOf([&] { return DoubaoService(world.context).fetchUsage("id:secret"); }, describe),
              c.want);
    EXPECT_EQ(world.transport.requestCount(), c.agentStatus == 0 ? 1u : 2u);
  }
}

TEST(DoubaoErrorBody, FirstReadableMessage) {
  const std::string longMessage(300, 'm');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"ResponseMetadata":{"Error":{"Code":"","Message":"no"}},"message":"other"})", ": no"},
      {R"({"ResponseMetadata":{"Error":{"Code":1}},"error":{"message":"nested"},"message":"top"})", "nested"},
      {R"({"error":{"message":""},"message":")" + longMessage + R"("})", longMessage.substr(0, 200)},
      {R"({"message":"echo secret-value"})", "echo [redacted]"},
      {"<html>", "HTTP 502"},
      {R"(["message"])", "HTTP 502"},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(doubao::apiErrorMessage(502, body, "secret-value"), want) << body;
}

// Models in order: 403 and 404 move on, 429 is a working key, anything else ends at once.
TEST(DoubaoProbe, ModelsInTurn) {
  struct Case {
    std::vector<int> statuses;
    std::string want;
  };
  const std::string statusOnly =
      "0.0/0 window [Doubao API key is active (status only). Provide AK/SK credentials for real Coding/Agent Plan "
      "usage.]";
  const std::vector<Case> cases = {
      {{404, 200}, statusOnly},
      {{403, 403}, "Doubao API error (403): second"},
      {{401}, "Doubao API error (401): first [redacted]"},
      {{429}, statusOnly},
      {{0}, "Unexpected response from Doubao"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow);
    for (std::size_t i = 0; i < c.statuses.size(); ++i) {
      const std::string message = i == 0 ? "first ark-key" : "second";
      c.statuses[i] == 0 ? world.transport.respondNotHTTP(kProbeURL)
                         : world.transport.respond(kProbeURL, c.statuses[i], R"({"message":")" + message + "\"}");
    }
    EXPECT_EQ(testing::outcomeOf([&] { return DoubaoService(world.context).fetchUsage("web:\n ark-key \n"); },
                                 describe),
              c.want);
    const auto requests = world.transport.requests();
    ASSERT_EQ(requests.size(), c.statuses.size());
    EXPECT_EQ(testing::requestText(requests[0]),
              "POST " + kProbeURL + " (60000 ms)\nContent-Type: application/json\nAccept: application/json\n"
              "Authorization: Bearer ark-key\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
              "AppleWebKit/537.36\n\n"
              R"({"model":"doubao-seed-2.0-code","max_tokens":1,"messages":[{"role":"user","content":"hi"}]})");
    if (requests.size() > 1) {
      EXPECT_NE(requests[1].body->find("doubao-1.5-pro-32k"), std::string::npos);
    }
  }
  testing::ServiceWorld world(kNow);
  EXPECT_EQ(testing::errorText([&] { DoubaoService(world.context).fetchUsage("api: \n"); }), "Invalid Doubao API key");
  EXPECT_EQ(world.transport.requestCount(), 0u);
}

TEST(DoubaoProbe, RateLimitHeaders) {
  const std::string start = "Doubao request rate limit (diagnostic, not Coding/Agent Plan quota): ";
  const std::string end = " requests in this window.";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0|60", "100.0 60/60"}, {"45|60", "25.0 15/60"}, {"70|60", "0.0 -10/60"}, {"+5|10", "50.0 5/10"},
      {"0|0", "status"}, {"5|", "status"}, {" 5|10", "status"}, {"5|1e3", "status"}, {"5|x", "status"},
      {"-9223372036854775808|9223372036854775807", "status"},
  };
  for (const auto& [figures, want] : cases) {
    SCOPED_TRACE(figures);
    const auto bar = figures.find('|');
    const HTTPHeaders headers{{"X-RateLimit-Remaining-Requests", figures.substr(0, bar)},
                              {"x-ratelimit-limit-requests", figures.substr(bar + 1)}};
    const UsageData record = doubao::makeProbeUsageData(headers, kNow);
    const std::string note = record.note.value_or("");
    EXPECT_EQ(record.limit == 0 ? "status" : formatFixed(record.used, 1) + " " +
                                                 note.substr(start.size(), note.size() - start.size() - end.size()),
              want);
    if (record.limit > 0) {
      EXPECT_EQ(note, start + want.substr(want.find(' ') + 1) + end);
    }
  }
}

TEST(DoubaoProbe, ResetTexts) {
  const std::vector<std::pair<std::string, std::optional<Timestamp>>> cases = {
      {"2m", kNow + seconds(120)},
      {" 1m30s ", kNow + seconds(90)},
      {"1d2h", kNow + seconds(93600)},
      {"90", kNow + seconds(90)},
      {"-1.5", kNow - std::chrono::milliseconds(1500)},
      {"0s", std::nullopt},
      {"2026-02-01T00:00:00.5Z", *parseInternetDate("2026-02-01T00:00:00.5Z")},
      {"2026-02-01T00:00:00+01:00", *parseInternetDate("2026-01-31T23:00:00Z")},
      {"soon", std::nullopt},
      {"", std::nullopt},
      {"99999999999999999999s", std::nullopt},
      {"106751991167300d", std::nullopt},
      {"1e300", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(doubao::parseResetText(text, kNow), want) << text;
}

}  // namespace
}  // namespace dapplewick
