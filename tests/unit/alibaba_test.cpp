#include "providers/alibaba.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <array>
#include <optional>
#include <sstream>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "providers/alibaba_json.hpp"
#include "providers/shared/request.hpp"
#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using namespace std::string_view_literals;

const Timestamp kNow{std::chrono::milliseconds{1'765'000'000'000}};
const std::string kZone = "<+08>-8";  // wall-clock texts of the console read eight hours ahead of UTC
const std::string kIntl = "https://modelstudio.console.alibabacloud.com";
const std::string kChina = "https://bailian.console.aliyun.com";
const std::string kGatewayQuery = "/data/api.json?action=IntlBroadScopeAspnGateway&product=sfm_bailian&api=zeldaEasy."
                                  "broadscope-bailian.codingPlan.queryCodingPlanInstanceInfoV2&_v=undefined";
const std::string kTokenQuery = "/data/api.json?action=GetSubscriptionSummary&product=BssOpenAPI-V3&_tag=";
const std::string kParse = "Failed to parse Alibaba response: ";
const std::string kExpired = "Alibaba session expired \u2014 please sign in again";
const std::string kQuota = R"({"codingPlanQuotaInfo":{"perWeekUsedQuota":3,"perWeekTotalQuota":100}})";
using testing::kNotHTTP;
constexpr int kOffline = -1;  // a status that stands for no answer at all

std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

// The form body with its random trace identifier, which must be a lower-case version 4 UUID, named TRACE.
std::string withFixedTrace(std::string body) {
  std::string trace;
  EXPECT_TRUE(RE2::PartialMatch(body, R"(%22feTraceId%22%3A%22([^%]*)%22)", &trace)) << body;
  EXPECT_TRUE(RE2::FullMatch(trace, "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")) << trace;
  RE2::Replace(&body, trace, "TRACE");
  return body;
}

TEST(AlibabaService, CodingPlanReadsThePageTokenThenPostsTheFormToTheGateway) {
  testing::TimeZoneGuard zone(kZone);
  testing::ServiceWorld world(kNow, Provider::alibaba);
  world.origins = Origins(
      {{"alibaba.international", "http://127.0.0.1:8080"}, {"alibaba.internationalgateway", "https://gw.example"}},
      "config.json");
  const std::string page = "http://127.0.0.1:8080/ap-southeast-1/?tab=coding-plan#/efm/coding_plan";
  world.transport.respond(page, 200, R"(<script>var x = {secToken : " pa+ge/t=k& "};</script>)");
  world.transport.respond("https://gw.example" + kGatewayQuery, 200,
                          R"({"data":{"codingPlanQuotaInfo":"{\"per5HourUsedQuota\":12,\"per5HourTotalQuota\":1200,)"
                          R"(\"per5HourQuotaNextRefreshTime\":1767225600000}"}})");
  const UsageData record =
      AlibabaService(world.context).fetchUsage("web:  cna=x; sec_token=own; login_aliyunid_csrf=; csrf=c1 ");
  EXPECT_EQ(show(record), "1/100 window @2026-01-01T00:00:00Z '12 / 1200 requests used (5h window)'");
  EXPECT_EQ(record.lastUpdated, kNow);
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string cookie = "Cookie: cna=x; sec_token=own; login_aliyunid_csrf=; csrf=c1\n";
  EXPECT_EQ(testing::requestText(requests[0]),
            "GET " + page + " (60000 ms)\n" + cookie +
                "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                "Version/26.3 Safari/605.1.15\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"
                "\n\n(no body)");
  const std::string params =
      R"({"Api":"zeldaEasy.broadscope-bailian.codingPlan.queryCodingPlanInstanceInfoV2","V":"1.0","Data":{)"
      R"("queryCodingPlanInstanceInfoRequest":{"commodityCode":"sfm_codingplan_public_intl","onlyLatestOne":true},)"
      R"("cornerstoneParam":{"feTraceId":"TRACE","feURL":")" +
      page +
      R"(","protocol":"V2","console":"ONE_CONSOLE",)"
      R"("productCode":"p_efm","domain":"127.0.0.1:8080","consoleSite":"MODELSTUDIO_ALIBABACLOUD",)"
      R"("userNickName":"","userPrincipalName":"","xsp_lang":"en-US"}}})";
  HTTPRequest data = requests[1];
  data.body = withFixedTrace(data.body.value_or(""));
  EXPECT_EQ(testing::requestText(data),
            "POST https://gw.example" + kGatewayQuery +
                " (60000 ms)\nContent-Type: application/x-www-form-urlencoded\nAccept: */*\n" + cookie +
                "X-Requested-With: XMLHttpRequest\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 Safari/537.36\nOrigin: http://127.0.0.1:8080\n"
                "Referer: " +
                page + "\nx-xsrf-token: c1\nx-csrf-token: c1\n\n" +
                formEncode({{"params", params}, {"region", "ap-southeast-1"}, {"sec_token", "pa+ge/t=k&"}}));
}

// A failed page costs only the token; the China token-plan page has no "/" before its "?".
TEST(AlibabaService, TokenPlanPostsToTheChinaConsoleAfterTheFirstSiteRejectsTheSession) {
  testing::ServiceWorld world(kNow, Provider::alibabaTokenPlan);
  world.transport.respond(kIntl + kTokenQuery, 401, "");
  world.transport.respond(kChina + "/cn-beijing?tab=plan#/efm/subscription/token-plan", 500, "");
  world.transport.respond(kChina + kTokenQuery, 200, R"({"Data":{"totalQuota":1000,"usedQuota":250}})");
  const UsageData record = AlibabaService(world.context).fetchTokenPlanUsage("a=1; csrf=; csrf=later");
  EXPECT_EQ(record.provider, Provider::alibabaTokenPlan);
  EXPECT_EQ(show(record), "25/100 monthly");
  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].url, kIntl + "/ap-southeast-1/?tab=plan#/efm/subscription/token-plan");
  EXPECT_EQ(testing::requestText(requests[3]),
            "POST " + kChina + kTokenQuery +
                " (60000 ms)\nContent-Type: application/x-www-form-urlencoded\nAccept: */*\nCookie: a=1; csrf=; "
                "csrf=later\nX-Requested-With: XMLHttpRequest\nUser-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X "
                "10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 Safari/537.36\nOrigin: " +
                kChina + "\nReferer: " + kChina + "/cn-beijing?tab=plan#/efm/subscription/token-plan\n\n" +
                "product=BssOpenAPI-V3&action=GetSubscriptionSummary&params=%7B%22ProductCode%22%3A%22sfm_"
                "tokenplanteams_dp_cn%22%7D&region=cn-beijing");
}

// The China site is tried once, and only after a rejected session or a 403 or 404 of the international one.
TEST(AlibabaService, TriesTheChinaSiteOnlyAfterARejection) {
  struct Case {  // the plan, the international data request's answer, the outcome, the requests sent, China's status
    bool tokenPlan = false;
    int status = 200;
    std::string body = "", want;
    std::size_t requests;
    int chinaStatus = 200;
  };
  const std::string chinaAnswer = R"({"perWeekUsedQuota":5,"perWeekTotalQuota":10,"totalQuota":8})";
  const std::string chinaCoding = "50/100 weekly '5 / 10 requests used (weekly)'", chinaToken = "0/100 monthly";
  const std::vector<Case> cases = {
      {.status = 401, .want = chinaCoding, .requests = 4},
      {.status = 403, .want = chinaCoding, .requests = 4},
      {.status = 404, .want = chinaCoding, .requests = 4},
      {.status = 404, .want = kExpired, .requests = 4, .chinaStatus = 403},
      {.body = R"({"data":{"status":"NeedLogin"}})", .want = chinaCoding, .requests = 4},
      {.tokenPlan = true, .body = "<HTML><body>Sign in</body></html>", .want = chinaToken, .requests = 4},
      {.tokenPlan = true, .body = R"({"success":false,"code":"ConsoleNeedLogin"})", .want = chinaToken, .requests = 4},
      {.status = 500, .want = "Alibaba HTTP error 500", .requests = 2},
      {.status = 204, .want = "Alibaba HTTP error 204", .requests = 2},
      {.status = kNotHTTP, .want = "Unexpected response from Alibaba", .requests = 2},
      {.status = kOffline, .want = "offline", .requests = 2},
      {.body = "<html>Sign in</html>", .want = kParse + "Invalid JSON", .requests = 2},
      {.tokenPlan = true,
       .body = R"({"Success":false,"Message":"Throttled"})",
       .want = "Alibaba API error: Throttled",
       .requests = 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    testing::ServiceWorld world(kNow, c.tokenPlan ? Provider::alibabaTokenPlan : Provider::alibaba);
    const std::string first = c.tokenPlan ? kIntl + kTokenQuery : kIntl + kGatewayQuery;
    if (c.status == kOffline) world.transport.fail(first, TransportError(TransportError::Kind::connection, "offline"));
    if (c.status == kNotHTTP) world.transport.respondNotHTTP(first);
    if (c.status > 0) world.transport.respond(first, c.status, c.body);
    world.transport.handleUnscripted([&](const HTTPRequest& request, std::stop_token) {
      HTTPResponse response;
      response.status = request.method == "POST" ? c.chinaStatus : 404;
      response.body = chinaAnswer;
      return response;
    });
    AlibabaService service(world.context);
    const auto fetch = [&] { return c.tokenPlan ? service.fetchTokenPlanUsage("s=1") : service.fetchUsage("s=1"); };
    EXPECT_EQ(testing::outcomeOf(fetch, show), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.requests);
  }
}

// The page's token wins over the cookie's; without one the cookie's goes; without either the form has none.
TEST(AlibabaService, TokenFromThePageElseTheCookie) {
  struct Case {
    std::optional<std::string> page;
    std::string cookie, wantFormEnd;
  };  // no page: its request fails
  const std::vector<Case> cases = {
      {R"(<script>SEC_TOKEN: "late"; "sec_token" : "first"</script>)", "sec_token=own", "&sec_token=late"},
      {"<p>no token</p>", "sec_token=own; b=2", "&sec_token=own"},
      {"secToken:\"\t \"; sec_token : \"x\"", "a=1", "&sec_token=x"},
      {std::nullopt, "sec_token=own", "&sec_token=own"},
      {std::nullopt, "sec_token=", "region=ap-southeast-1"}};
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::alibaba);
    if (c.page) world.transport.respond(kIntl + "/ap-southeast-1/?tab=coding-plan#/efm/coding_plan", 200, *c.page);
    world.transport.respond(kIntl + kGatewayQuery, 200, kQuota);
    AlibabaService(world.context).fetchUsage(c.cookie);
    const std::string body = world.transport.requestsTo(kIntl + kGatewayQuery).at(0).body.value_or("");
    EXPECT_TRUE(body.ends_with(c.wantFormEnd)) << c.page.value_or("(failed page)") << " " << body;
  }
}

TEST(AlibabaCodingPlan, ReadsTheFirstUsableWindow) {
  testing::TimeZoneGuard zone(kZone);
  const std::string noWindows = kParse + "No usable quota windows found in Coding Plan response";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"codingPlanQuotaInfo":{"per5HourTotalQuota":0,"per5HourUsedQuota":1,"perWeekUsedQuota":3,)"
       R"("perWeekTotalQuota":100,"perWeekQuotaNextRefreshTime":"2026-01-05 08:00"}})",
       "3/100 weekly @2026-01-05T00:00:00Z '3 / 100 requests used (weekly)'"},
      {R"({"coding_plan_quota_info":{"perFiveHourUsedQuota":150,"perFiveHourTotalQuota":100,)"
       R"("per5HourQuotaNextRefreshTime":"soon","perFiveHourQuotaNextRefreshTime":1767225600}})",
       "100/100 window @2026-01-01T00:00:00Z '150 / 100 requests used (5h window)'"},
      {R"({"x":[{"y":{"per5HourUsedQuota":"7","per5HourTotalQuota":10.0}}]})",
       "70/100 window '7 / 10 requests used (5h window)'"},
      {R"({"d":"{\"perBillMonthUsedQuota\":\"12.9\",\"perMonthUsedQuota\":-5,\"perMonthTotalQuota\":50}"})",
       "-10/100 monthly '-5 / 50 requests used (monthly)'"},
      {R"({"Status":"ok","code":"User.LOGIN.Missing","codingPlanQuotaInfo":{}})", kExpired},
      {R"({"codingPlanQuotaInfo":{"perWeekUsedQuota":3}})", noWindows},
      {R"({"data":{"code":5}})", noWindows},
      {R"([{"codingPlanQuotaInfo":{}}])", kParse + "Unexpected payload shape"},
      {"42", kParse + "Invalid JSON"},
      {"", kParse + "Empty response"}};
  for (const auto& [body, want] : cases) {
    const auto read = [&text = body] { return alibaba::parseCodingPlanResponse(text, kNow); };
    EXPECT_EQ(testing::outcomeOf(read, show), want) << body;
  }
}

TEST(AlibabaTokenPlan, ReadsTheCreditsOrWhatRemains) {
  testing::TimeZoneGuard zone(kZone);
  const std::string long300(300, 'm');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"Data":{"totalQuota":1000,"remainingQuota":900,"nearestExpireDate":"2026-02-01"}})",
       "10/100 monthly @2026-01-31T16:00:00Z"},
      {R"({"data":{"totalQuota":"1,000","remainQuota":1200}})", "0/100 monthly"},
      {R"({"totalQuota":1000})", "0/100 monthly"},
      {R"({"quota":500,"usage":800})", "100/100 monthly"},
      {R"({"totalQuota":1e-300,"usedQuota":1e300})", "0/100 monthly"},
      {R"({"Data":{"foo":1},"other":{"totalCredits":100,"usedCredits":10}})", "10/100 monthly"},
      {R"({"successResponse":"{\"TotalSurplusValue\":\"1,234.5\"}"})", "1234.5/0 monthly '1234.50 credits remaining'"},
      {R"({"totalQuota":-1,"balance":-3})", "0/0 monthly '-3.00 credits remaining'"},
      {R"({"totalQuota":0})", kParse + "Missing token quota data in response"},
      {R"({"success":true,"x":{"Success":0}})", "Alibaba API error: request failed"},
      {R"({"Success":false,"Message":"Quota exceeded","Code":"NeedLogin"})", "Alibaba API error: Quota exceeded"},
      {R"({"success":false,"Code":"User.Login.Required"})", kExpired},
      {"<!doctype html><HTML>", kExpired},
      {R"({"Success":false,"Message":")" + long300 + "\"}", "Alibaba API error: " + long300.substr(0, 200)},
      {"<p>busy</p>", kParse + "Invalid JSON in token plan response"},
      {"[]", kParse + "Unexpected token plan payload"},
      {"", kParse + "Empty token plan response"}};
  for (const auto& [body, want] : cases) {
    const auto read = [&b = body] { return alibaba::parseTokenPlanResponse(b, kNow); };
    EXPECT_EQ(testing::outcomeOf(read, show), want) << body;
  }
}

TEST(AlibabaJson, NormalisesAndSearchesLeniently) {
  const Json normal = alibaba::normalizeJSON(
      Json::parse(R"({"a":"{\"b\":\"[1,{\\\"c\\\":2}]\"}","n":"42","w":"\"word\"","t":" [true] "})"));
  EXPECT_EQ(normal.dump(), R"({"a":{"b":[1,{"c":2}]},"n":"42","w":"\"word\"","t":[true]})");
  const auto search = [](const char* text) {
    return alibaba::findString(std::array{"code"sv, "status"sv}, Json::parse(text));
  };
  EXPECT_EQ(search(R"({"code":5,"status":" \t","n":{"status":"NeedLogin"}})"), "NeedLogin");
  EXPECT_EQ(search(R"({"a":{"code":"deep"},"status":" top "})"), " top ");
  EXPECT_EQ(search(R"({"b":[{"code":"first"}],"a":{"code":"second"}})"), "first");
  const Json flags = Json::parse(R"({"success":true,"n":[{"Success":0,"success":"no"}]})");
  EXPECT_EQ(alibaba::collectFlags(std::array{"success"sv, "Success"sv}, flags), (std::vector<bool>{true, false}));
  // Levels decoded from strings count towards the depth limit: a member deeper than it is absent.
  const auto deep = [](int inner) {
    std::string text = "{\"deep\":1}";
    for (int i = 0; i < inner; ++i) text = "{\"y\":" + text + "}";
    std::string outer = Json(text).dump();
    for (int i = 0; i < 100; ++i) outer = "{\"x\":" + outer + "}";
    return alibaba::findDictionaryContainingAnyKey(std::array{"deep"sv}, alibaba::normalizeJSON(Json::parse(outer)));
  };
  EXPECT_NE(deep(155), nullptr);
  EXPECT_EQ(deep(156), nullptr);
  // So do values decoded from strings towards the value budget: two lists of half of it, with the list around them.
  std::string half = "[0";
  for (std::size_t i = 1; i < kMaxJsonValues / 2 - 1; ++i) half += ",0";
  const Json halves = Json::array({half + "]", half + "]"});
  EXPECT_EQ(testing::errorText([&] { alibaba::normalizeJSON(halves); }), "The answer holds more than 250000 values");
  // Each value of the copy counts once, and a string that gave way to what it decoded to counts no more: an answer
  // of `total` values, a text inside a text among them (the object, the text's object, its list of three zeros with
  // them, its long list and the long list beside it: 8 values besides the zeros of the two long lists).
  const auto zeros = [](std::size_t count) {
    std::string list = "[0";
    for (std::size_t i = 1; i < count; ++i) list += ",0";
    return list + "]";
  };
  const auto answer = [&](std::size_t total) {
    const std::string text = R"({"inner":"[0,0,0]","n":)" + zeros(100'000) + "}";
    return parseJson(R"({"a":)" + Json(text).dump() + R"(,"b":)" + zeros(total - 8 - 100'000) + "}");
  };
  Json read;
  EXPECT_EQ(testing::errorText([&] { read = alibaba::normalizeJSON(answer(kMaxJsonValues)); }), "no error");
  EXPECT_EQ(read["a"]["inner"], Json::parse("[0,0,0]"));
  EXPECT_EQ(read["a"]["n"].size() + read["b"].size(), kMaxJsonValues - 8);
  EXPECT_EQ(testing::errorText([&] { alibaba::normalizeJSON(answer(kMaxJsonValues + 1)); }),
            "The answer holds more than 250000 values");
}

TEST(AlibabaJson, NumbersAndDates) {
  testing::TimeZoneGuard zone(kZone);
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> numbers = {
      // value of "x" (the "y" member is 7), firstInt, firstDouble
      {"12.9", "12 12.9"}, {R"("12.9")", "7 12.9"}, {R"("+42")", "42 42"}, {"true", "1 1"}, {"null", "7 7"},
      {"1e300", "7 1e+300"}, {"9.3e18", "7 9.3e+18"}, {R"("")", "7 7"}, {R"(" 5")", "7 7"}, {R"("1e999")", "7 7"},
      {R"("1,234")", "7 1234"}, {"18446744073709551615", "7 1.84467e+19"},
      {"-9223372036854775808", "-9223372036854775808 -9.22337e+18"}};
  // clang-format on
  for (const auto& [value, want] : numbers) {
    const Json object = Json::parse(R"({"x":)" + value + R"(,"y":7})");
    std::ostringstream got;
    got << *alibaba::firstInt(std::array{"x"sv, "y"sv}, object) << " "
        << *alibaba::firstDouble(std::array{"x"sv, "y"sv}, object);
    EXPECT_EQ(got.str(), want) << value;
  }
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> dates = {
      {"1000000001", "2001-09-09T01:46:41Z"}, {"1000000001000", "2001-09-09T01:46:41Z"}, {"1000000000", "-"},
      {"1000000000000", "-"}, {"1.5e9", "2017-07-14T02:40:00Z"}, {"1000000000000.5", "2001-09-09T01:46:40Z"},
      {R"("2025-03-01 10:30")", "2025-03-01T02:30:00Z"}, {R"("2025-03-01 10:30:15")", "2025-03-01T02:30:15Z"},
      {R"("2025-03-01")", "2025-02-28T16:00:00Z"}, {R"("2025-03-01T10:30:00+01:00")", "2025-03-01T09:30:00Z"},
      {R"("2025-03-01T10:30:00.5Z")", "-"}, {R"("1767225600")", "-"}, {"true", "-"}};
  // clang-format on
  for (const auto& [value, want] : dates) {
    const auto date = alibaba::parseDate(Json::parse(value));
    EXPECT_EQ(date ? formatRFC3339Seconds(*date) : "-", want) << value;
  }
}

}  // namespace
}  // namespace dapplewick
