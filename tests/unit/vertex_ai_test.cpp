#include "providers/vertex_ai.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using vertex_ai::QuotaKey;

const Timestamp kNow = *parseRFC3339("2026-12-05T20:25:43.250Z", FractionMode::required);
using testing::kNotHTTP;

const std::string kQuery =
    "%22%20AND%20resource.type%3D%22consumer_quota%22%20AND%20resource.label.service%3D%22aiplatform.googleapis.com"
    "%22&interval.startTime=2026-12-04T20:25:43Z&interval.endTime=2026-12-05T20:25:43Z"
    "&aggregation.alignmentPeriod=3600s&aggregation.perSeriesAligner=ALIGN_MAX&view=FULL";
const std::string kSeriesURL = "https://monitoring.googleapis.com/v3/projects/my-project/timeSeries?filter=metric.type"
                               "%3D%22serviceruntime.googleapis.com/quota/";
const std::string kUsageURL = kSeriesURL + "allocation/usage" + kQuery;
const std::string kLimitURL = kSeriesURL + "limit" + kQuery;
const std::string kInvalidProject =
    "Invalid Google Cloud project ID. Use letters, digits, \"-\", \".\" and \":\", starting with a letter or digit.";

// One quota series as the monitoring API sends it.
Json series(const std::string& metric, double value, const std::string& location = "global", const char* limit = "") {
  return {{"metric", {{"labels", {{"quota_metric", metric}, {"limit_name", limit}}}}},
          {"resource", {{"labels", {{"location", location}}}}},
          {"points", {{{"value", {{"doubleValue", value}}}}}}};
}

// A page of series; a token that is no text, as null, is none.
std::string page(const std::vector<Json>& list, const Json& next = nullptr) {
  return Json{{"timeSeries", list}, {"nextPageToken", next}}.dump();
}

TEST(VertexAIService, ReadsEveryUsagePageThenTheLimitsAndBuildsTheRecords) {
  testing::ServiceWorld world(kNow, Provider::vertexAI);
  const std::string nextPage = kUsageURL + "&pageToken=tok%2B/%3D%201";
  world.transport.respond(kUsageURL, 200, page({series("tokens", 150, "eu"), series("images", 1)}, "tok+/= 1"));
  world.transport.respond(nextPage, 200, page({series("requests", 25, "global", "per-minute")}, ""));
  world.transport.respond(kLimitURL, 200,
                          page({series("requests", 100, "global", "per-minute"), series("images", 0),
                                series("tokens", 100, "eu"), series("unused", 50)}));
  const UsageData usage = VertexAIService(world.context).fetchUsage("api:my-project:tok.en");
  std::string sent;
  for (const HTTPRequest& request : world.transport.requests()) sent += testing::requestText(request) + "\n";
  const std::string headers = " (15000 ms)\nAuthorization: Bearer tok.en\n\n(no body)\n";
  EXPECT_EQ(sent, "GET " + kUsageURL + headers + "GET " + nextPage + headers + "GET " + kLimitURL + headers);
  // clang-format off
  const UsageData aux{.id = Provider::vertexAI, .provider = Provider::vertexAI, .used = 25, .limit = 100,
                      .resetPeriod = ResetPeriod::daily, .lastUpdated = kNow, .note = "per-minute"};
  // clang-format on
  UsageData want = aux;
  want.used = 100;
  want.note = "Vertex AI quota via Cloud Monitoring (project: my-project) \u2014 tokens (eu)";
  want.auxiliaryUsage = {aux};
  EXPECT_EQ(usage, want);

  // Without a project there is nothing to ask, and no error either.
  UsageData none = UsageData::blank(Provider::vertexAI);
  none.note = "No GCP project configured. Prefix credential with 'PROJECT_ID:' or set GOOGLE_CLOUD_PROJECT env var.";
  EXPECT_EQ(VertexAIService(world.context).fetchUsage("ya29.only-a-token"), none);
  world.environment.set("GCP_PROJECT", "..");
  EXPECT_EQ(testing::errorText([&] { VertexAIService(world.context).fetchUsage("ya29.token"); }), kInvalidProject);
}

TEST(VertexAIService, EachFailureHasItsText) {
  using Answers = std::vector<std::pair<int, std::string>>;  // status and body, in the order they are given
  struct Case {
    std::string credential = "my-project:ya29.abc";
    Answers answers{};
    std::string want;
    std::optional<std::size_t> requests{};  // absent: one for each answer
  };
  Answers endless;
  for (int i = 1; i <= 101; ++i) endless.emplace_back(200, page({series("a", 1)}, "t" + std::to_string(i)));
  const std::string usage = page({series("q", 1)});
  const std::string unexpected = "Unexpected response from Vertex AI Monitoring API.";
  const std::string noData = "No Vertex AI quota data found for the current project.";
  // clang-format off
  const std::vector<Case> cases = {
      {.credential = "p?x=1:ya29.abc", .want = kInvalidProject}, {.answers = {{200, "[]"}}, .want = unexpected},
      {.answers = {{401, "x"}}, .want = "Vertex AI request unauthorized. Run `gcloud auth application-default login`."},
      {.answers = {{403, "x"}}, .want = "Vertex AI access forbidden. Check IAM permissions for Cloud Monitoring."},
      {.answers = {{kNotHTTP, ""}}, .want = unexpected}, {.answers = {{200, "<html>"}}, .want = unexpected},
      {.answers = {{204, ""}}, .want = "Vertex AI HTTP 204: "},
      {.answers = {{200, "{}"}, {200, usage}}, .want = noData},
      {.answers = {{200, usage}, {200, page({})}}, .want = noData},
      {.answers = {{200, page({series("q", 1)}, "next")}, {500, "later"}}, .want = "Vertex AI HTTP 500: later"},
      // A list holding anything but objects holds nothing; a token that is no text is none.
      {.answers = {{200, page({series("q", 1), 2}, 5)}, {200, usage}}, .want = noData},
      {.answers = {{200, usage}, {200, page({series("q", 0), series("r", 10)})}}, .want = noData},
      // A repeated key counts once, the last time; a list elsewhere in the answer is not the series.
      {.answers = {{200, R"({"timeSeries": [)" + series("q", 1).dump() + R"(], "timeSeries": {}})"}, {200, usage}},
       .want = noData},
      {.answers = {{200, R"({"x": {"timeSeries": [)" + series("q", 1).dump() + "]}}"}, {200, usage}},
       .want = noData},
      {.answers = endless, .want = "Vertex AI Monitoring API returned more than 100 pages of quota data.",
       .requests = 100},
      {.answers = {{200, page({}, "a")}, {200, page({}, "b")}, {200, page({}, "a")}},
       .want = "Vertex AI Monitoring API repeated a page token."},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld world(kNow, Provider::vertexAI);
    for (const auto& [status, body] : c.answers)
      status == kNotHTTP ? world.transport.respondNotHTTP("") : world.transport.respond("", status, body);
    EXPECT_EQ(testing::errorText([&] { VertexAIService(world.context).fetchUsage(c.credential); }), c.want);
    EXPECT_EQ(world.transport.requestCount(), c.requests.value_or(c.answers.size()));
  }
}

TEST(VertexAIProject, SplitsTheCredentialAndChecksTheProject) {
  // clang-format off
  const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
      {"my-project:tok.en", "my-project", "tok.en"}, {"p:q:r.s", "p", "q:r.s"}, {"   ", {}, ""},
      {"my-project:abc", {}, "my-project:abc"}, {":ya29.abc", {}, ":ya29.abc"},  // no token shape: all is the token
      {"  Bearer p:ya29.x \n", "p", "ya29.x"}, {"bearer ya29.abc", {}, "bearer ya29.abc"},
      {"Bearer   ya29.abc", {}, "  ya29.abc"},
  };
  // clang-format on
  for (const auto& [text, project, token] : cases)
    EXPECT_EQ(vertex_ai::parseCredential(text), (vertex_ai::Credential{project, token})) << text;
  using Env = std::map<std::string, std::string, std::less<>>;
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{})), std::nullopt);
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCP_PROJECT", "c"}})), "c");
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCP_PROJECT", "c"}, {"GCLOUD_PROJECT", "b"}})), "b");
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCLOUD_PROJECT", "b"}, {"GOOGLE_CLOUD_PROJECT", ""}})),
            "");
  // The identifier goes into the path unescaped.
  EXPECT_TRUE(vertex_ai::isValidProjectID("example.com:my-project-123"));
  for (const std::string id : {"", "..", ".p", "-p", "a/../b", "p?x=1", "p#f", "p%2F", "a b", "\u00E9", "p\r\n"})
    EXPECT_FALSE(vertex_ai::isValidProjectID(id)) << id;
}

TEST(VertexAISeries, ExtractsAggregatesJoinsSortsAndLabels) {
  const std::pair<std::string, std::optional<QuotaKey>> keys[] = {
      {R"("resource": {"labels": {"quota_id": "id"}})", QuotaKey{"id", "", "global"}},
      {R"("metric": {"labels": {"quota_metric": ""}}, "resource": {"labels": {"quota_id": "id"}})", {}},
      // One label that is no text voids its whole set.
      {R"("metric": {"labels": {"quota_metric": "m", "n": 1}}, "resource": {"labels": {"quota_id": "i",
          "location": "x"}})",
       QuotaKey{"i", "", "x"}},
      {R"("metric": {"labels": ["quota_metric"]}, "resource": "r")", {}},
  };
  for (const auto& [json, want] : keys) EXPECT_EQ(vertex_ai::extractQuotaKey(parseJson("{" + json + "}")), want);
  const std::pair<std::string, std::optional<double>> points[] = {
      {R"([{"value": {"doubleValue": 3}}, {"value": {"int64Value": "7"}}, {"value": {"int64Value": 12}}])", 7},
      // A non-object point voids the list.
      {R"([{"value": {}}, {"value": 3}, {"other": 1}])", {}},
      {R"([{"value": {"doubleValue": 3}}, 4])", {}},
      {R"([{"value": {"doubleValue": 1, "int64Value": "99"}}, {"value": {"int64Value": "4"}}])", 4},
  };
  for (const auto& [json, want] : points)
    EXPECT_EQ(vertex_ai::maxPointValue(parseJson(R"({"points": )" + json + "}")), want) << json;

  const auto tableOf = [](std::initializer_list<Json> list) {
    vertex_ai::QuotaTable table;
    for (const Json& one : list) table.add(one);
    return table;
  };
  // The highest value per key, never below 0, in the order the keys first appeared.
  const auto table = tableOf({series("a", 3), series("b", -5), series("a", 7), series("a", 1, "us")});
  EXPECT_EQ(table.entries(), (std::vector<std::pair<QuotaKey, double>>{
                                 {{"a", "", "global"}, 7}, {{"b", "", "global"}, 0}, {{"a", "", "us"}, 1}}));
  const auto usage = tableOf(
      {series("quarter", 25), series("tie1", 5), series("tie2", 10), series("usage-only", 9), series("tiny", 1e10)});
  const auto limits = tableOf({series("quarter", 100), series("tie2", 20), series("tie1", 10), series("tiny", 1e-310)});
  EXPECT_EQ(vertex_ai::joinQuotas(usage, limits),
            (std::vector<vertex_ai::QuotaMetric>{{{"tiny", "", "global"}, 1e10, 1e-310, 100},
                                                 {{"tie2", "", "global"}, 10, 20, 50},
                                                 {{"tie1", "", "global"}, 5, 10, 50},
                                                 {{"quarter", "", "global"}, 25, 100, 25}}));

  std::vector<vertex_ai::QuotaMetric> metrics;
  for (int i = 0; i < 7; ++i) metrics.push_back({{"m" + std::to_string(i), "", "global"}, 1, 1, 90.0 - i});
  const UsageData shown = vertex_ai::makeUsageData(metrics, "p", kNow);
  ASSERT_EQ(shown.auxiliaryUsage.size(), 4u);  // at most five metrics
  EXPECT_EQ(shown.auxiliaryUsage[3].note, "m4");
}

}  // namespace
}  // namespace dapplewick
