#include "providers/vertex_ai.hpp"

#include <tuple>

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using vertex_ai::QuotaKey;
using vertex_ai::QuotaMetric;
using vertex_ai::QuotaTable;

const Timestamp kNow = *parseRFC3339("2026-12-05T20:25:43.250Z", FractionMode::required);

const std::string kQuery =
    "%20AND%20resource.type%3D%22consumer_quota%22%20AND%20resource.label.service%3D%22aiplatform.googleapis.com%22"
    "&interval.startTime=2026-12-04T20%3A25%3A43Z&interval.endTime=2026-12-05T20%3A25%3A43Z"
    "&aggregation.alignmentPeriod=3600s&aggregation.perSeriesAligner=ALIGN_MAX&view=FULL";
const std::string kSeriesURL = "https://monitoring.googleapis.com/v3/projects/my-project/timeSeries?filter=metric.type"
                               "%3D%22serviceruntime.googleapis.com%2Fquota%2F";
const std::string kUsageURL = kSeriesURL + "allocation%2Fusage%22" + kQuery;
const std::string kLimitURL = kSeriesURL + "limit%22" + kQuery;

// One quota series as the monitoring API sends it.
Json series(const std::string& metric, double value, const std::string& location = "global",
            const std::string& limitName = "") {
  Json labels = {{"quota_metric", metric}};
  if (!limitName.empty()) labels["limit_name"] = limitName;
  return {{"metric", {{"labels", labels}}},
          {"resource", {{"labels", {{"location", location}}}}},
          {"points", {{{"value", {{"doubleValue", value}}}}}}};
}

std::string page(const std::vector<Json>& list, const std::optional<std::string>& next = std::nullopt) {
  Json body = {{"timeSeries", list}};
  if (next) body["nextPageToken"] = *next;
  return body.dump();
}

class VertexAIServiceTest : public ::testing::Test {
 protected:
  testing::ServiceWorld world{kNow};
  VertexAIService service{world.context};
};

TEST_F(VertexAIServiceTest, ReadsEveryUsagePageThenTheLimitsAndBuildsTheRecords) {
  world.transport.respond(kUsageURL, 200,
                          page({series("tokens", 150, "us-central1"), series("images", 1)}, "tok+/= 1"));
  world.transport.respond(kUsageURL + "&pageToken=tok%2B%2F%3D%201", 200,
                          page({series("requests", 25, "global", "per-minute")}, ""));
  world.transport.respond(kLimitURL, 200,
                          page({series("requests", 100, "global", "per-minute"), series("tokens", 100, "us-central1"),
                                series("images", 0), series("unused", 50)}));
  const UsageData usage = service.fetchUsage("api:my-project:tok.en");

  ASSERT_EQ(world.transport.requestCount(), 3u);
  for (const auto& request : world.transport.requests()) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers, (HTTPHeaders{{"Authorization", "Bearer tok.en"}}));
    EXPECT_FALSE(request.body);
    EXPECT_EQ(request.timeout, std::chrono::seconds(15));
  }
  UsageData aux = UsageData::blank(Provider::vertexAI);
  aux.used = 25;
  aux.limit = 100;
  aux.resetPeriod = ResetPeriod::daily;
  aux.lastUpdated = kNow;
  aux.note = "per-minute";
  UsageData want = aux;
  want.used = 100;
  want.note = "Vertex AI quota via Cloud Monitoring (project: my-project) \u2014 tokens (us-central1)";
  want.auxiliaryUsage = {aux};
  EXPECT_EQ(usage, want);
}

TEST_F(VertexAIServiceTest, ChecksTheProjectBeforeAsking) {
  UsageData noProject = UsageData::blank(Provider::vertexAI);
  noProject.note =
      "No GCP project configured. Prefix credential with 'PROJECT_ID:' or set GOOGLE_CLOUD_PROJECT env var.";
  EXPECT_EQ(service.fetchUsage("ya29.only-a-token"), noProject);
  for (const std::string project : {"", "..", ".", "my-project/../../v1/other", "p?x=1", "p#frag", "p%2F",
                                    "my project", "proj\u00E9", "-p", "p\r\nX-Injected: 1"}) {
    world.environment.set("GOOGLE_CLOUD_PROJECT", project);
    EXPECT_EQ(testing::errorText([&] { service.fetchUsage("ya29.token"); }),
              "Invalid Google Cloud project ID. Use letters, digits, \"-\", \".\" and \":\", starting with a letter "
              "or digit.")
        << project;
  }
  EXPECT_EQ(world.transport.requestCount(), 0u);

  world.environment.set("GOOGLE_CLOUD_PROJECT", "example.com:my-project-123");
  world.transport.respond("", 200, page({series("q", 1)}));
  world.transport.respond("", 200, page({series("q", 2)}));
  EXPECT_EQ(service.fetchUsage("my-project:abc").note,
            "Vertex AI quota via Cloud Monitoring (project: example.com:my-project-123) \u2014 q");
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_TRUE(world.transport.requests()[0].url.starts_with(
      "https://monitoring.googleapis.com/v3/projects/example.com:my-project-123/timeSeries?"));
  EXPECT_EQ(world.transport.requests()[0].headers.get("Authorization"), "Bearer my-project:abc");
}

TEST(VertexAIFailures, EachHasItsText) {
  // Answers in order: a status and body; status 0 is an answer that is not HTTP, -1 a transport failure.
  using Answers = std::vector<std::pair<int, std::string>>;
  Answers endless;
  for (int i = 1; i <= 101; ++i) endless.emplace_back(200, page({series("a", 1)}, "t" + std::to_string(i)));
  std::string longBody;
  for (int i = 0; i < 300; ++i) longBody += "\u00FC";
  const std::string usage = page({series("q", 1)});
  const std::string unexpected = "Unexpected response from Vertex AI Monitoring API.";
  const std::string noData = "No Vertex AI quota data found for the current project.";
  const std::tuple<Answers, std::string, std::size_t> cases[] = {
      {{{401, "x"}}, "Vertex AI request unauthorized. Run `gcloud auth application-default login`.", 1},
      {{{403, "x"}}, "Vertex AI access forbidden. Check IAM permissions for Cloud Monitoring.", 1},
      {{{204, ""}}, "Vertex AI HTTP 204: ", 1},
      {{{502, "a\xC3"}}, "Vertex AI HTTP 502: ", 1},
      {{{503, longBody}}, "Vertex AI HTTP 503: " + longBody.substr(0, 400), 1},
      {{{0, ""}}, unexpected, 1},
      {{{200, "<html>"}}, unexpected, 1},
      {{{200, "[]"}}, unexpected, 1},
      {{{-1, ""}}, "Could not connect.", 1},
      {{{200, page({series("q", 1)}, "next")}, {500, "later"}}, "Vertex AI HTTP 500: later", 2},
      {{{200, "{}"}, {200, usage}}, noData, 2},
      {{{200, usage}, {200, page({})}}, noData, 2},
      {{{200, usage}, {200, page({series("q", 0)})}}, noData, 2},
      {{{200, usage}, {200, page({series("r", 10)})}}, noData, 2},
      {endless, "Vertex AI Monitoring API returned more than 100 pages of quota data.", 100},
      {{{200, page({}, "a")}, {200, page({}, "b")}, {200, page({}, "a")}},
       "Vertex AI Monitoring API repeated a page token.", 3},
  };
  for (const auto& [answers, want, requests] : cases) {
    SCOPED_TRACE(want);
    testing::ServiceWorld world(kNow);
    for (const auto& [status, body] : answers) {
      if (status == 0) world.transport.respondNotHTTP("");
      if (status < 0) world.transport.fail("", TransportError(TransportError::Kind::connection, "Could not connect."));
      if (status > 0) world.transport.respond("", status, body);
    }
    VertexAIService service(world.context);
    EXPECT_EQ(testing::errorText([&] { service.fetchUsage("my-project:ya29.abc"); }), want);
    EXPECT_EQ(world.transport.requestCount(), requests);
  }
  testing::ServiceWorld world(kNow);
  VertexAIService service(world.context);
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage("api: \t"); }),
            "Invalid Vertex AI credential. Provide a Bearer token from `gcloud auth print-access-token`.");
  EXPECT_STREQ(VertexAIError::invalidURL().what(), "Invalid Vertex AI Monitoring URL.");
}

TEST(VertexAICredential, SplitsProjectAndTokenAndResolvesTheProject) {
  const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
      {"my-project:ya29.abc", "my-project", "ya29.abc"}, {"my-project:tok.en", "my-project", "tok.en"},
      {"my-project:abc", {}, "my-project:abc"},  // no token shape: the whole text is the token
      {"  Bearer p:ya29.x \n", "p", "ya29.x"},     {"bearer ya29.abc", {}, "bearer ya29.abc"},
      {"Bearer   ya29.abc", {}, "  ya29.abc"},      {":ya29.abc", {}, ":ya29.abc"},
      {"p:q:r.s", "p", "q:r.s"},                    {"   ", {}, ""},
  };
  for (const auto& [text, project, token] : cases) {
    EXPECT_EQ(vertex_ai::parseVertexCredential(text), (vertex_ai::VertexCredential{project, token})) << text;
  }
  using Env = std::map<std::string, std::string, std::less<>>;
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{})), std::nullopt);
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCP_PROJECT", "c"}})), "c");
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCP_PROJECT", "c"}, {"GCLOUD_PROJECT", "b"}})), "b");
  EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(Env{{"GCLOUD_PROJECT", "b"}, {"GOOGLE_CLOUD_PROJECT", ""}})),
            "");
}

TEST(VertexAISeries, ExtractsKeysAndValues) {
  const std::pair<std::string, std::optional<QuotaKey>> keys[] = {
      {R"("metric": {"labels": {"quota_metric": "m", "limit_name": "l"}}, "resource": {"labels": {"location": "e"}})",
       QuotaKey{"m", "l", "e"}},
      {R"("resource": {"labels": {"quota_id": "id"}})", QuotaKey{"id", "", "global"}},
      {R"("metric": {"labels": {"quota_metric": ""}}, "resource": {"labels": {"quota_id": "id"}})", {}},
      // One label that is no text voids its whole set.
      {R"("metric": {"labels": {"quota_metric": "m", "n": 1}}, "resource": {"labels": {"quota_id": "i",
          "location": "x"}})", QuotaKey{"i", "", "x"}},
      {R"("metric": {"labels": ["quota_metric"]}, "resource": "r")", {}},
  };
  for (const auto& [json, want] : keys) {
    EXPECT_EQ(vertex_ai::extractQuotaKey(parseJson("{" + json + "}")), want) << json;
  }
  const std::pair<std::string, std::optional<double>> points[] = {
      {R"([{"value": {"doubleValue": 3}}, {"value": {"int64Value": "7"}}])", 7},
      {R"([{"value": {}}, {"value": 3}, {"other": 1}])", {}},
      {R"([{"value": {"doubleValue": 3}}, 4])", {}},  // a non-object point voids the list
      {R"([{"value": {"int64Value": " 9"}}, {"value": {"int64Value": "nan"}}, {"value": {"int64Value": "0x10"}},
          {"value": {"int64Value": 12}}, {"value": {"int64Value": "2.5e1"}}])", 25},
      {R"([{"value": {"doubleValue": 1, "int64Value": "99"}}, {"value": {"doubleValue": true, "int64Value": "4"}}])",
       4},
      {R"([{"value": {"doubleValue": -3}}, {"value": {"doubleValue": -1}}])", -1},
  };
  for (const auto& [json, want] : points) {
    EXPECT_EQ(vertex_ai::maxPointValue(parseJson(R"({"points": )" + json + "}")), want) << json;
  }
  HTTPResponse response;
  response.status = 200;
  response.body = R"({"timeSeries": [{"a": 1}, 2], "nextPageToken": 5})";
  const auto result = vertex_ai::readTimeSeriesPage(response);
  EXPECT_TRUE(result.series.empty());
  EXPECT_FALSE(result.nextPageToken);
}

TEST(VertexAISeries, AggregatesJoinsSortsAndLabels) {
  Json noPoints = series("c", 0);
  noPoints["points"] = Json::array({{{"value", Json::object()}}});
  EXPECT_EQ(vertex_ai::aggregateSeries(
                {series("a", 3), series("b", -5), series("a", 7), noPoints, series("a", 5), series("a", 1, "us")})
                .entries(),
            (std::vector<std::pair<QuotaKey, double>>{{{"a", "", "global"}, 7}, {{"b", "", "global"}, 0},
                                                      {{"a", "", "us"}, 1}}));

  QuotaTable usage;
  QuotaTable limits;
  for (const auto& [name, used] : std::vector<std::pair<std::string, double>>{
           {"over", 150}, {"quarter", 25}, {"tie1", 5}, {"tie2", 10}, {"zero", 1}, {"usage-only", 9}, {"tiny", 1e10}}) {
    usage.raise({name, "", "global"}, used);
  }
  for (const auto& [name, limit] : std::vector<std::pair<std::string, double>>{
           {"quarter", 100}, {"tie2", 20}, {"over", 100}, {"zero", 0}, {"tie1", 10}, {"limit-only", 10},
           {"tiny", 1e-310}}) {
    limits.raise({name, "", "global"}, limit);
  }
  const std::vector<QuotaMetric> want = {
      {{"over", "", "global"}, 150, 100, 100}, {{"tiny", "", "global"}, 1e10, 1e-310, 100},
      {{"tie2", "", "global"}, 10, 20, 50},    {{"tie1", "", "global"}, 5, 10, 50},
      {{"quarter", "", "global"}, 25, 100, 25},
  };
  EXPECT_EQ(vertex_ai::joinQuotas(usage, limits), want);

  std::vector<QuotaMetric> metrics;
  for (int i = 0; i < 7; ++i) metrics.push_back({{"m" + std::to_string(i), "", "global"}, 1, 1, 90.0 - i});
  const UsageData shown = vertex_ai::buildUsage(metrics, "p", kNow);
  ASSERT_EQ(shown.auxiliaryUsage.size(), 4u);  // at most five metrics
  EXPECT_EQ(shown.auxiliaryUsage[3].note, "m4");
  EXPECT_EQ((QuotaKey{"Q", "L", "Global"}).label(), "L (Global)");
  EXPECT_EQ((QuotaKey{"Q", "L", ""}).label(), "L ()");
}

}  // namespace
}  // namespace dapplewick
