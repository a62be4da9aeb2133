#include "providers/vertex_ai.hpp"

#include <gtest/gtest.h>

#include "providers/dates.hpp"
#include "providers/text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

using vertex_ai::QuotaKey;
using vertex_ai::QuotaMetric;
using vertex_ai::QuotaTable;

const Timestamp kNow = *parseRFC3339("2026-12-05T20:25:43.250Z", FractionMode::required);

const std::string kQuery =
    "&interval.startTime=2026-12-04T20%3A25%3A43Z&interval.endTime=2026-12-05T20%3A25%3A43Z"
    "&aggregation.alignmentPeriod=3600s&aggregation.perSeriesAligner=ALIGN_MAX&view=FULL";
const std::string kUsageURL =
    "https://monitoring.googleapis.com/v3/projects/my-project/timeSeries?filter=metric.type%3D%22serviceruntime."
    "googleapis.com%2Fquota%2Fallocation%2Fusage%22%20AND%20resource.type%3D%22consumer_quota%22%20AND%20resource."
    "label.service%3D%22aiplatform.googleapis.com%22" +
    kQuery;
const std::string kLimitURL =
    "https://monitoring.googleapis.com/v3/projects/my-project/timeSeries?filter=metric.type%3D%22serviceruntime."
    "googleapis.com%2Fquota%2Flimit%22%20AND%20resource.type%3D%22consumer_quota%22%20AND%20resource.label.service%3D"
    "%22aiplatform.googleapis.com%22" +
    kQuery;

const std::string kNoProjectNote =
    "No GCP project configured. Prefix credential with 'PROJECT_ID:' or set GOOGLE_CLOUD_PROJECT env var.";

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

  std::string errorOf(const std::string& credential) {
    return testing::errorText([&] { service.fetchUsage(credential); });
  }
};

TEST_F(VertexAIServiceTest, AsksForUsageThenLimitsExactly) {
  world.transport.respond(kUsageURL, 200, page({series("q", 5)}));
  world.transport.respond(kLimitURL, 200, page({series("q", 10)}));
  service.fetchUsage("my-project:ya29.abc");

  const auto requests = world.transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, kUsageURL);
  EXPECT_EQ(requests[1].url, kLimitURL);
  for (const auto& request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers, (HTTPHeaders{{"Authorization", "Bearer ya29.abc"}}));
    EXPECT_FALSE(request.body);
    EXPECT_EQ(request.timeout, std::chrono::seconds(15));
  }
}

TEST_F(VertexAIServiceTest, UsesTheConfiguredOrigin) {
  const Origins local(std::map<std::string, std::string>{{"vertexai", "http://127.0.0.1:9999"}});
  VertexAIService redirected(ServiceContext{world.transport, world.clock, world.environment, local});
  world.transport.respond("", 200, page({series("q", 5)}));
  world.transport.respond("", 200, page({series("q", 10)}));
  redirected.fetchUsage("my-project:ya29.abc");
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_TRUE(startsWith(world.transport.requests()[0].url, "http://127.0.0.1:9999/v3/projects/my-project/timeSeries?"));
}

TEST_F(VertexAIServiceTest, BuildsTheMainAndAuxiliaryRecords) {
  world.transport.respond(kUsageURL, 200,
                    page({series("tokens", 150, "us-central1"), series("requests", 25, "global", "per-minute"),
                          series("images", 1)}));
  world.transport.respond(kLimitURL, 200,
                    page({series("requests", 100, "global", "per-minute"), series("tokens", 100, "us-central1"),
                          series("images", 0), series("unused", 50)}));
  const UsageData usage = service.fetchUsage("api:my-project:tok.en");

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

TEST_F(VertexAIServiceTest, ReadsEveryPageBeforeTheLimits) {
  world.transport.respond(kUsageURL, 200, page({series("a", 10)}, "tok+/= 1"));
  world.transport.respond(kUsageURL + "&pageToken=tok%2B%2F%3D%201", 200, page({series("b", 30)}, ""));
  world.transport.respond(kLimitURL, 200, page({series("a", 100), series("b", 100)}));
  const UsageData usage = service.fetchUsage("my-project:ya29.abc");

  ASSERT_EQ(world.transport.requestCount(), 3u);
  EXPECT_EQ(world.transport.requests()[2].url, kLimitURL);
  EXPECT_EQ(usage.used, 30);
  ASSERT_EQ(usage.auxiliaryUsage.size(), 1u);
  EXPECT_EQ(usage.auxiliaryUsage[0].used, 10);
}

TEST_F(VertexAIServiceTest, StopsAfterAHundredPages) {
  int served = 0;
  for (int i = 0; i < 101; ++i) {
    world.transport.handle("", [&served](const HTTPRequest&, std::stop_token) {
      HTTPResponse response;
      response.status = 200;
      response.body = page({series("a", 1)}, "t" + std::to_string(++served));
      return response;
    });
  }
  EXPECT_EQ(errorOf("my-project:ya29.abc"), "Vertex AI Monitoring API returned more than 100 pages of quota data.");
  EXPECT_EQ(world.transport.requestCount(), 100u);
  EXPECT_TRUE(world.transport.requests()[99].url.ends_with("&pageToken=t99"));
}

TEST_F(VertexAIServiceTest, StopsWhenAPageTokenComesBack) {
  world.transport.respond("", 200, page({}, "a"));
  world.transport.respond("", 200, page({}, "b"));
  world.transport.respond("", 200, page({}, "a"));
  EXPECT_EQ(errorOf("my-project:ya29.abc"), "Vertex AI Monitoring API repeated a page token.");
  EXPECT_EQ(world.transport.requestCount(), 3u);
}

TEST_F(VertexAIServiceTest, WithoutAProjectExplainsInsteadOfAsking) {
  const UsageData usage = service.fetchUsage("ya29.only-a-token");
  UsageData want = UsageData::blank(Provider::vertexAI);
  want.resetPeriod = ResetPeriod::monthly;
  want.note = kNoProjectNote;
  EXPECT_EQ(usage, want);
  EXPECT_EQ(world.transport.requestCount(), 0u);
}

TEST_F(VertexAIServiceTest, TakesTheProjectFromTheEnvironment) {
  world.environment.set("GCP_PROJECT", "third");
  world.environment.set("GCLOUD_PROJECT", "second");
  world.transport.respond("", 200, page({series("q", 1)}));
  world.transport.respond("", 200, page({series("q", 2)}));
  const UsageData usage = service.fetchUsage("my-project:abc");
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_TRUE(startsWith(world.transport.requests()[0].url, "https://monitoring.googleapis.com/v3/projects/second/"));
  EXPECT_EQ(world.transport.requests()[0].headers.get("Authorization"), "Bearer my-project:abc");
  EXPECT_EQ(usage.note, "Vertex AI quota via Cloud Monitoring (project: second) \u2014 q");
}

TEST_F(VertexAIServiceTest, RefusesWithoutAToken) {
  for (const std::string credential : {"", "   \n", "web:", "api: \t"}) {
    SCOPED_TRACE(credential);
    EXPECT_EQ(errorOf(credential),
              "Invalid Vertex AI credential. Provide a Bearer token from `gcloud auth print-access-token`.");
  }
  EXPECT_EQ(world.transport.requestCount(), 0u);
}

TEST_F(VertexAIServiceTest, RefusesAProjectThatWouldChangeThePath) {
  const std::string want =
      "Invalid Google Cloud project ID. Use letters, digits, \"-\", \".\" and \":\", starting with a letter or digit.";
  for (const std::string project : {"", "..", ".", "my-project/../../v1/other", "p?x=1", "p#frag", "p%2F",
                                    "my project", "proj\u00E9", "-p", "p\r\nX-Injected: 1"}) {
    SCOPED_TRACE(project);
    world.environment.set("GOOGLE_CLOUD_PROJECT", project);
    world.environment.set("GCLOUD_PROJECT", "fine");
    EXPECT_EQ(errorOf("ya29.token"), want);
  }
  EXPECT_EQ(world.transport.requestCount(), 0u);
}

TEST_F(VertexAIServiceTest, AcceptsDomainScopedProjects) {
  world.environment.set("GOOGLE_CLOUD_PROJECT", "example.com:my-project-123");
  world.transport.respond("", 200, page({series("q", 1)}));
  world.transport.respond("", 200, page({series("q", 2)}));
  service.fetchUsage("ya29.token");
  ASSERT_EQ(world.transport.requestCount(), 2u);
  EXPECT_TRUE(startsWith(world.transport.requests()[0].url,
                         "https://monitoring.googleapis.com/v3/projects/example.com:my-project-123/timeSeries?"));
}

TEST_F(VertexAIServiceTest, ReportsEveryFailingAnswer) {
  struct Case {
    std::string name;
    std::function<void(testing::FakeTransport&)> script;
    std::string want;
    std::size_t requests;
  };
  std::string longBody;
  for (int i = 0; i < 300; ++i) longBody += "\u00FC";
  const std::vector<Case> cases = {
      {"401", [](auto& t) { t.respond("", 401, "x"); },
       "Vertex AI request unauthorized. Run `gcloud auth application-default login`.", 1},
      {"403", [](auto& t) { t.respond("", 403, "x"); },
       "Vertex AI access forbidden. Check IAM permissions for Cloud Monitoring.", 1},
      {"500", [](auto& t) { t.respond("", 500, "oops"); }, "Vertex AI HTTP 500: oops", 1},
      {"other 2xx", [](auto& t) { t.respond("", 204, ""); }, "Vertex AI HTTP 204: ", 1},
      {"invalid UTF-8", [](auto& t) { t.respond("", 502, "a\xC3"); }, "Vertex AI HTTP 502: ", 1},
      {"long body", [&](auto& t) { t.respond("", 503, longBody); },
       "Vertex AI HTTP 503: " + longBody.substr(0, 400), 1},
      {"not HTTP", [](auto& t) { t.respondNotHTTP(""); }, "Unexpected response from Vertex AI Monitoring API.", 1},
      {"not JSON", [](auto& t) { t.respond("", 200, "<html>"); },
       "Unexpected response from Vertex AI Monitoring API.", 1},
      {"not an object", [](auto& t) { t.respond("", 200, "[]"); },
       "Unexpected response from Vertex AI Monitoring API.", 1},
      {"failure on a later page",
       [](auto& t) {
         t.respond("", 200, page({series("q", 1)}, "next"));
         t.respond("", 500, "later");
       },
       "Vertex AI HTTP 500: later", 2},
      {"failure on the limits",
       [](auto& t) {
         t.respond("", 200, page({series("q", 1)}));
         t.respond("", 403, "");
       },
       "Vertex AI access forbidden. Check IAM permissions for Cloud Monitoring.", 2},
      {"no usage", [](auto& t) {
         t.respond("", 200, "{}");
         t.respond("", 200, page({series("q", 1)}));
       },
       "No Vertex AI quota data found for the current project.", 2},
      {"no limits", [](auto& t) {
         t.respond("", 200, page({series("q", 1)}));
         t.respond("", 200, page({}));
       },
       "No Vertex AI quota data found for the current project.", 2},
      {"every limit zero", [](auto& t) {
         t.respond("", 200, page({series("q", 1)}));
         t.respond("", 200, page({series("q", 0)}));
       },
       "No Vertex AI quota data found for the current project.", 2},
      {"no limit matches", [](auto& t) {
         t.respond("", 200, page({series("q", 1)}));
         t.respond("", 200, page({series("r", 10)}));
       },
       "No Vertex AI quota data found for the current project.", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ServiceWorld local(kNow);
    c.script(local.transport);
    VertexAIService scripted(local.context);
    EXPECT_EQ(testing::errorText([&] { scripted.fetchUsage("my-project:ya29.abc"); }), c.want);
    EXPECT_EQ(local.transport.requestCount(), c.requests);
  }
}

TEST_F(VertexAIServiceTest, PassesTransportErrorsThrough) {
  world.transport.fail("", TransportError(TransportError::Kind::connection, "Could not connect."));
  EXPECT_EQ(testing::errorText([&] { service.fetchUsage("my-project:ya29.abc"); }),
            "Could not connect.");
}

TEST(VertexAICredential, SplitsProjectAndToken) {
  struct Case {
    std::string text;
    std::optional<std::string> project;
    std::string token;
  };
  const std::vector<Case> cases = {
      {"my-project:ya29.abc", "my-project", "ya29.abc"},
      {"my-project:tok.en", "my-project", "tok.en"},
      {"my-project:ya29", std::nullopt, "my-project:ya29"},
      {"my-project:abc", std::nullopt, "my-project:abc"},
      {"Bearer ya29.abc", std::nullopt, "ya29.abc"},
      {"  Bearer p:ya29.x \n", "p", "ya29.x"},
      {"bearer ya29.abc", std::nullopt, "bearer ya29.abc"},
      {"Bearer   ya29.abc", std::nullopt, "  ya29.abc"},
      {":ya29.abc", std::nullopt, ":ya29.abc"},
      {"proj:", std::nullopt, "proj:"},
      {"p:q:r.s", "p", "q:r.s"},
      {"ya29.only", std::nullopt, "ya29.only"},
      {"   ", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(vertex_ai::parseVertexCredential(c.text), (vertex_ai::VertexCredential{c.project, c.token}));
  }
}

TEST(VertexAICredential, ResolvesTheProjectInOrder) {
  struct Case {
    std::map<std::string, std::string, std::less<>> env;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{{"GCP_PROJECT", "c"}}, "c"},
      {{{"GCP_PROJECT", "c"}, {"GCLOUD_PROJECT", "b"}}, "b"},
      {{{"GCP_PROJECT", "c"}, {"GCLOUD_PROJECT", "b"}, {"GOOGLE_CLOUD_PROJECT", "a"}}, "a"},
      {{{"GCLOUD_PROJECT", "b"}, {"GOOGLE_CLOUD_PROJECT", ""}}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vertex_ai::resolveProjectID(MapEnvironment(c.env)), c.want);
  }
}

TEST(VertexAISeries, ExtractsKeysAndValues) {
  struct Case {
    std::string name;
    std::string json;
    std::optional<QuotaKey> key;
    std::optional<double> value;
  };
  const std::vector<Case> cases = {
      {"full", R"({"metric": {"labels": {"quota_metric": "m", "limit_name": "l"}},
                   "resource": {"labels": {"location": "eu"}},
                   "points": [{"value": {"doubleValue": 3}}, {"value": {"int64Value": "7"}}]})",
       QuotaKey{"m", "l", "eu"}, 7},
      {"quota id fallback", R"({"resource": {"labels": {"quota_id": "id"}}})", QuotaKey{"id", "", "global"},
       std::nullopt},
      {"empty metric no fallback", R"({"metric": {"labels": {"quota_metric": ""}},
                                       "resource": {"labels": {"quota_id": "id"}}})",
       std::nullopt, std::nullopt},
      {"non-text label voids the set", R"({"metric": {"labels": {"quota_metric": "m", "n": 1}},
                                           "resource": {"labels": {"quota_id": "id", "location": "x"}}})",
       QuotaKey{"id", "", "x"}, std::nullopt},
      {"non-text resource label", R"({"metric": {"labels": {"quota_metric": "m"}},
                                      "resource": {"labels": {"location": "x", "n": null}}})",
       QuotaKey{"m", "", "global"}, std::nullopt},
      {"labels not an object", R"({"metric": {"labels": ["quota_metric"]}, "resource": "r"})", std::nullopt,
       std::nullopt},
      {"points with no value", R"({"points": [{"value": {}}, {"value": 3}, {"other": 1}]})", std::nullopt,
       std::nullopt},
      {"a non-object point voids the list", R"({"points": [{"value": {"doubleValue": 3}}, 4]})", std::nullopt,
       std::nullopt},
      {"int64 texts read strictly", R"({"points": [{"value": {"int64Value": " 9"}}, {"value": {"int64Value": "nan"}},
                                                   {"value": {"int64Value": "0x10"}}, {"value": {"int64Value": 12}},
                                                   {"value": {"int64Value": "2.5e1"}}]})",
       std::nullopt, 25},
      {"double wins over int64", R"({"points": [{"value": {"doubleValue": 1, "int64Value": "99"}}]})", std::nullopt,
       1},
      {"boolean is no double", R"({"points": [{"value": {"doubleValue": true, "int64Value": "4"}}]})", std::nullopt,
       4},
      {"negative values", R"({"points": [{"value": {"doubleValue": -3}}, {"value": {"doubleValue": -1}}]})",
       std::nullopt, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json json = parseJson(c.json);
    EXPECT_EQ(vertex_ai::extractQuotaKey(json), c.key);
    EXPECT_EQ(vertex_ai::maxPointValue(json), c.value);
  }
}

TEST(VertexAISeries, AggregatesTheHighestValuePerKey) {
  Json noPoints = series("c", 0);
  noPoints["points"] = Json::array({{{"value", Json::object()}}});
  const QuotaTable table = vertex_ai::aggregateSeries(
      {series("a", 3), series("b", -5), series("a", 7), noPoints, series("a", 5), series("a", 1, "us")});
  const std::vector<std::pair<QuotaKey, double>> want = {
      {{"a", "", "global"}, 7}, {{"b", "", "global"}, 0}, {{"a", "", "us"}, 1}};
  EXPECT_EQ(table.entries(), want);
}

TEST(VertexAISeries, JoinsAndSortsTheMetrics) {
  QuotaTable usage;
  usage.raise({"over", "", "global"}, 150);
  usage.raise({"quarter", "", "global"}, 25);
  usage.raise({"tie1", "", "global"}, 5);
  usage.raise({"tie2", "", "global"}, 10);
  usage.raise({"zero", "", "global"}, 1);
  usage.raise({"usage-only", "", "global"}, 99);
  QuotaTable limits;
  limits.raise({"quarter", "", "global"}, 100);
  limits.raise({"tie2", "", "global"}, 20);
  limits.raise({"over", "", "global"}, 100);
  limits.raise({"zero", "", "global"}, 0);
  limits.raise({"tie1", "", "global"}, 10);
  limits.raise({"limit-only", "", "global"}, 10);
  limits.raise({"tiny", "", "global"}, 1e-310);
  usage.raise({"tiny", "", "global"}, 1e10);

  const std::vector<QuotaMetric> want = {
      {{"over", "", "global"}, 150, 100, 100},
      {{"tiny", "", "global"}, 1e10, 1e-310, 100},
      {{"tie2", "", "global"}, 10, 20, 50},
      {{"tie1", "", "global"}, 5, 10, 50},
      {{"quarter", "", "global"}, 25, 100, 25},
  };
  EXPECT_EQ(vertex_ai::joinQuotas(usage, limits), want);
}

TEST(VertexAISeries, ShowsAtMostFiveMetrics) {
  std::vector<QuotaMetric> metrics;
  for (int i = 0; i < 7; ++i) metrics.push_back({{"m" + std::to_string(i), "", "global"}, 1, 1, 90.0 - i});
  const UsageData usage = vertex_ai::buildUsage(metrics, "p", kNow);
  EXPECT_EQ(usage.used, 90);
  ASSERT_EQ(usage.auxiliaryUsage.size(), 4u);
  EXPECT_EQ(usage.auxiliaryUsage[3].note, "m4");
  EXPECT_EQ(usage.auxiliaryUsage[3].used, 86);
  EXPECT_TRUE(vertex_ai::buildUsage({metrics[0]}, "p", kNow).auxiliaryUsage.empty());
}

TEST(VertexAISeries, LabelsKeys) {
  EXPECT_EQ((QuotaKey{"Q", "", "us-central1"}).label(), "Q (us-central1)");
  EXPECT_EQ((QuotaKey{"Q", "", "global"}).label(), "Q");
  EXPECT_EQ((QuotaKey{"Q", "L", "Global"}).label(), "L (Global)");
  EXPECT_EQ((QuotaKey{"Q", "L", ""}).label(), "L ()");
}

TEST(VertexAISeries, IgnoresATimeSeriesListWithNonObjects) {
  HTTPResponse response;
  response.status = 200;
  response.body = R"({"timeSeries": [{"a": 1}, 2], "nextPageToken": 5})";
  const auto result = vertex_ai::readTimeSeriesPage(response);
  EXPECT_TRUE(result.series.empty());
  EXPECT_FALSE(result.nextPageToken);
}

TEST(VertexAIErrors, DescribeTheRemainingCases) {
  EXPECT_STREQ(VertexAIError::invalidURL().what(), "Invalid Vertex AI Monitoring URL.");
  EXPECT_EQ(VertexAIError::httpError(418, "tea").value(), 418);
}

}  // namespace
}  // namespace dapplewick
