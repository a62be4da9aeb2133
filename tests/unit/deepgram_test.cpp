#include "providers/deepgram.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using testing::FakeTransport;

constexpr const char* kProjects = "https://api.deepgram.com/v1/projects";
constexpr int kNotHTTP = 0;
constexpr int kOffline = -1;

Timestamp at(std::string_view text) { return parseRFC3339(text, FractionMode::forbidden).value(); }

std::string usageURL(const std::string& segment) {
  return std::string(kProjects) + "/" + segment + "/usage/breakdown?start=2026-12-01T00:00:00Z";
}

void answer(FakeTransport& transport, const std::string& url, int status, const std::string& body) {
  if (status == kNotHTTP) return transport.respondNotHTTP(url);
  if (status == kOffline) return transport.fail(url, TransportError(TransportError::Kind::connection, "offline"));
  transport.respond(url, status, body);
}

// One project of a scripted account: its identifier (also its name and URL segment) and its breakdown answer.
struct Project {
  std::string id;
  int status;
  std::string body;
};

struct Account {
  testing::ServiceWorld world{at("2026-12-15T10:00:00Z")};
  FakeTransport& transport = world.transport;
  DeepgramService service{world.context};

  void script(const std::vector<Project>& projects) {
    Json list = Json::array();
    for (const auto& p : projects) list.push_back({{"project_id", p.id}, {"name", p.id}});
    transport.respond(kProjects, 200, Json{{"projects", list}}.dump());
    for (const auto& p : projects) answer(transport, usageURL(p.id), p.status, p.body);
  }
  // "REQUESTS HOURS NOTE" of the record, or the text of the error.
  std::string outcome(std::string_view credential = "dg-key") {
    try {
      const auto record = service.fetchUsage(credential);
      return formatFixed(record.used, 0) + " " + formatFixed(record.auxiliaryUsage.at(0).used, 2) + " " +
             record.note.value_or("");
    } catch (const std::exception& error) {
      return error.what();
    }
  }
  std::vector<std::string> urls() const {
    std::vector<std::string> urls;
    for (const auto& request : transport.requests()) urls.push_back(request.url);
    return urls;
  }
};

class DeepgramTest : public ::testing::Test {
 protected:
  testing::TimeZoneGuard zone{"UTC0"};
  Account acct;
};

TEST_F(DeepgramTest, SendsTheProjectListThenOneBreakdownPerProject) {
  acct.script({{"p-1", 200, R"({"results":[]})"}});
  acct.service.fetchUsage("api:  dg-key\n");
  EXPECT_EQ(acct.urls(), (std::vector<std::string>{"https://api.deepgram.com/v1/projects",
                                                   "https://api.deepgram.com/v1/projects/p-1/usage/breakdown"
                                                   "?start=2026-12-01T00:00:00Z"}));
  for (const auto& request : acct.transport.requests()) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers,
              (HTTPHeaders{{"Authorization", "Token dg-key"},
                           {"Accept", "application/json"},
                           {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"}}));
    EXPECT_EQ(request.body, std::nullopt);
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
  }
}

TEST_F(DeepgramTest, AnEmptyKeySendsNothing) {
  EXPECT_EQ(acct.outcome("web:   \t\n"), "Invalid Deepgram API key");
  EXPECT_EQ(acct.transport.requestCount(), 0u);
}

TEST_F(DeepgramTest, ProjectListFailuresEndTheFetchWithoutServerTextOrKey) {
  const std::string flood(5000, 'Z');
  const std::vector<std::tuple<int, std::string, std::string>> cases{
      {401, "{\"err_msg\":\"" + flood + " dg-secret\"}", "Invalid Deepgram API key"},
      {500, flood, "Deepgram API error 500"},
      {kNotHTTP, "", "Unexpected response from Deepgram"},
      {kOffline, "", "offline"},
      {200, R"({"projects":[]})", "Invalid Deepgram API key"},
      {200, flood, "the data is not valid JSON"},
      {200, std::string(100000, '['), "the JSON nests too deeply"},
      {200, "{\"projects\":\"" + flood + "\"}", "expected an array at \"projects\""},
      {200, R"({"projects":[{"project_id":"p","name":1}]})", "expected a string at \"projects[0].name\""},
  };
  for (const auto& [status, body, error] : cases) {
    SCOPED_TRACE(error);
    Account fresh;
    answer(fresh.transport, kProjects, status, body);
    EXPECT_EQ(fresh.outcome("dg-secret"), error);
    EXPECT_EQ(fresh.transport.requestCount(), 1u) << "no usage request may follow a failed project list";
  }
}

TEST_F(DeepgramTest, AddsUpTheBreakdownOrRefusesIt) {
  const auto sum = [](const std::string& body) -> std::string {
    try {
      const auto usage = deepgram_detail::sumUsage(deepgram_detail::decodeUsage(body));
      return usage ? std::to_string(usage->requests) + " " + formatFixed(usage->hours, 2) : "unusable";
    } catch (const std::exception& error) {
      return error.what();
    }
  };
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"({"results":[{"requests":10,"total_hours":1.5,"hours":9},{"requests":5,"total_hours":0.25}]})", "15 1.75"},
      {R"({"results":[{"hours":2,"total_hours":null},{"requests":null,"hours":null},{}]})", "0 2.00"},
      {R"({"results":[{"requests":4.0},{"requests":-1,"x":[1]}]})", "3 0.00"},
      {R"({"results":[{"requests":9223372036854775806},{"requests":1}]})", "9223372036854775807 0.00"},
      {R"({"results":[{"requests":9223372036854775807},{"requests":1}]})", "unusable"},
      {R"({"results":[{"requests":-9223372036854775808},{"requests":-1}]})", "unusable"},
      {R"({"results":[{"hours":1.7e308},{"total_hours":1.7e308}]})", "unusable"},
      {R"({"results":[{"requests":9223372036854775808}]})", "expected an integer at \"results[0].requests\""},
      {R"({"results":[{},{"total_hours":"2"}]})", "expected a number at \"results[1].total_hours\""},
  };
  for (const auto& [body, want] : cases) EXPECT_EQ(sum(body), want) << body;
}

TEST_F(DeepgramTest, OneNamedProjectMakesTheRecord) {
  acct.script({{"Main", 200, R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})"}});
  UsageData hours = UsageData::blank(Provider::deepgram);
  hours.used = 1.75;
  hours.resetPeriod = ResetPeriod::monthly;
  hours.lastUpdated = acct.world.clock.now();
  hours.note = "Hours";
  UsageData want = hours;
  want.used = 15;
  want.resetAt = at("2027-01-01T00:00:00Z");
  want.note = "Project: Main";
  want.auxiliaryUsage = {hours};
  EXPECT_EQ(acct.service.fetchUsage("dg-key"), want);
  EXPECT_EQ(deepgram_detail::aggregateNote(1, 1, std::nullopt), std::nullopt) << "an unnamed project";
}

TEST_F(DeepgramTest, ProjectsThatFailOrCannotBeAddedAreLeftOutAndCounted) {
  const std::string max = "9223372036854775807";
  const std::vector<std::pair<std::vector<Project>, std::string>> cases{
      {{{"a", 200, R"({"results":[]})"}, {"b", 500, ""}, {"c", 200, R"({"results":[{"requests":2,"hours":0.5}]})"}},
       "2 0.50 2/3 projects aggregated"},
      {{{"a", 200, R"({"results":[{"requests":6}]})"},
        {"b", 403, ""},
        {"c", kNotHTTP, ""},
        {"d", kOffline, ""},
        {"e", 200, R"({"results":[{"requests":"x"}]})"}},
       "6 0.00 1/5 projects aggregated"},
      {{{"a", 200, R"({"results":[{"requests":)" + max + R"(,"hours":1}]})"},
        {"b", 200, R"({"results":[{"requests":1,"hours":5}]})"},
        {"c", 200, R"({"results":[{"hours":2}]})"}},
       "9223372036854775808 3.00 2/3 projects aggregated"},
      {{{"a", 200, R"({"results":[{"requests":1,"hours":1.7e308}]})"},
        {"b", 200, R"({"results":[{"requests":1,"hours":1.7e308}]})"}},
       "1 " + formatFixed(1.7e308, 2) + " 1/2 projects aggregated"},
      // When every project fails, the last error ends the fetch.
      {{{"a", 401, ""}, {"b", 500, ""}, {"c", kOffline, ""}}, "offline"},
      {{{"a", kOffline, ""}, {"b", 401, ""}, {"c", 500, ""}}, "Deepgram API error 500"},
      {{{"a", 500, ""}, {"b", kNotHTTP, ""}}, "Unexpected response from Deepgram"},
      {{{"a", 500, ""}, {"b", 200, "{}"}}, "missing key \"results\""},
  };
  for (const auto& [projects, want] : cases) {
    Account fresh;
    fresh.script(projects);
    EXPECT_EQ(fresh.outcome(), want);
    std::vector<std::string> urls{kProjects};
    for (const auto& p : projects) urls.push_back(usageURL(p.id));
    EXPECT_EQ(fresh.urls(), urls) << "every project is asked once";
  }
}

TEST_F(DeepgramTest, AnIdentifierThatIsNoPathSegmentSkipsItsProjectWithoutARequest) {
  acct.transport.respond(kProjects, 200,
                         R"({"projects":[{"project_id":".."},{"project_id":"ok"},{"project_id":""},)"
                         R"({"project_id":"."},{"project_id":"a/../b"},{"project_id":"x?start=1970#f \u00E9"}]})");
  acct.transport.respond(usageURL("ok"), 200, R"({"results":[{"requests":2}]})");
  acct.transport.respond(usageURL("a%2F..%2Fb"), 200, R"({"results":[{"requests":1}]})");
  acct.transport.respond(usageURL("x%3Fstart%3D1970%23f%20%C3%A9"), 200, R"({"results":[{"requests":4}]})");
  EXPECT_EQ(acct.outcome(), "7 0.00 3/6 projects aggregated");
  EXPECT_EQ(acct.urls(), (std::vector<std::string>{kProjects, usageURL("ok"), usageURL("a%2F..%2Fb"),
                                                   usageURL("x%3Fstart%3D1970%23f%20%C3%A9")}));

  for (const std::string id : {"", ".", ".."}) {
    Account fresh;
    fresh.transport.respond(kProjects, 200, R"({"projects":[{"project_id":")" + id + R"("}]})");
    EXPECT_EQ(fresh.outcome(), "Unexpected response from Deepgram") << id;
    EXPECT_EQ(fresh.transport.requestCount(), 1u);
  }
}

TEST_F(DeepgramTest, StartIsTheUTCMonthWhileTheResetIsTheLocalOne) {
  const testing::TimeZoneGuard plusTwo("XST-2");
  const FixedClock newYear(at("2026-12-31T22:30:00Z"));  // 00:30 on 1 January 2027 locally
  DeepgramService local(ServiceContext{acct.transport, newYear, acct.world.environment, acct.world.origins});
  acct.script({{"p", 200, R"({"results":[]})"}});
  const auto record = local.fetchUsage("dg-key");
  EXPECT_EQ(record.resetAt, at("2027-01-31T22:00:00Z"));
  EXPECT_EQ(record.auxiliaryUsage.at(0).resetAt, std::nullopt);
  EXPECT_EQ(acct.urls().at(1), usageURL("p"));
}

TEST_F(DeepgramTest, AProjectRequestCancelledInFlightIsNoPartialSuccess) {
  acct.transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"}]})");
  acct.transport.respond(usageURL("a"), 200, R"({"results":[{"requests":1}]})");
  acct.transport.handle(usageURL("b"), testing::blockUntilCancelled());
  testing::DelayedStop stop(std::chrono::milliseconds(20));
  EXPECT_THROW(acct.service.fetchUsage("dg-key", stop.token()), TransportError);
}

}  // namespace
}  // namespace dapplewick
