#include "providers/deepgram.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "providers/dates.hpp"
#include "providers/json_read.hpp"
#include "providers/text.hpp"
#include "support/env_guard.hpp"
#include "support/fake_transport.hpp"
#include "support/service_world.hpp"

namespace dapplewick {
namespace {

using testing::errorText;
using testing::FakeTransport;
using testing::ServiceWorld;
using testing::TimeZoneGuard;

constexpr const char* kProjects = "https://api.deepgram.com/v1/projects";
constexpr const char* kStart = "?start=2026-12-01T00:00:00Z";

Timestamp at(std::string_view text) { return parseRFC3339(text, FractionMode::forbidden).value(); }

std::string usageURL(const std::string& projectID) {
  return std::string(kProjects) + "/" + projectID + "/usage/breakdown" + kStart;
}

class DeepgramTest : public ::testing::Test {
 protected:
  UsageData fetch(std::string_view credential = "dg-key", std::stop_token stop = {}) {
    return service.fetchUsage(credential, stop);
  }
  std::string fetchError(std::string_view credential = "dg-key") {
    return errorText([&] { fetch(credential); });
  }
  std::vector<std::string> sentURLs() const {
    std::vector<std::string> urls;
    for (const auto& request : transport.requests()) urls.push_back(request.url);
    return urls;
  }

  TimeZoneGuard zone{"UTC0"};
  ServiceWorld world{at("2026-12-15T10:00:00Z")};
  FakeTransport& transport = world.transport;
  const FixedClock& clock = world.clock;
  DeepgramService service{world.context};
};

// ---- Requests ----

TEST_F(DeepgramTest, SendsTheProjectListThenOneBreakdownPerProjectExactlyAsBuilt) {
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p-1","name":"Main"}]})");
  transport.respond(usageURL("p-1"), 200, R"({"results":[]})");

  fetch("api:  dg-key\n");

  const auto requests = transport.requests();
  ASSERT_EQ(requests.size(), 2u);
  const HTTPHeaders headers{
      {"Authorization", "Token dg-key"},
      {"Accept", "application/json"},
      {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"},
  };
  EXPECT_EQ(requests[0].url, "https://api.deepgram.com/v1/projects");
  EXPECT_EQ(requests[1].url, "https://api.deepgram.com/v1/projects/p-1/usage/breakdown?start=2026-12-01T00:00:00Z");
  for (const auto& request : requests) {
    SCOPED_TRACE(request.url);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers, headers);
    EXPECT_EQ(request.body, std::nullopt);
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
  }
}

TEST_F(DeepgramTest, UsesTheConfiguredOrigin) {
  world.origins = Origins(std::map<std::string, std::string>{{"deepgram", "http://127.0.0.1:8123"}});
  transport.respond("http://127.0.0.1:8123/v1/projects", 200, R"({"projects":[{"project_id":"p"}]})");
  transport.respond("http://127.0.0.1:8123/v1/projects/p/usage/breakdown" + std::string(kStart), 200,
                    R"({"results":[]})");

  EXPECT_EQ(errorText([&] { fetch(); }), "no error");
}

TEST_F(DeepgramTest, PreparesTheCredentialBeforeAnyRequest) {
  struct Case {
    std::string credential;
    std::optional<std::string> authorization;  // nothing: rejected without a request
  };
  const std::vector<Case> cases{
      {"dg-key", "Token dg-key"},
      {"web:dg-key", "Token dg-key"},
      {"api: \t dg-key \r\n", "Token dg-key"},
      {"\u00A0dg-key\u3000", "Token dg-key"},
      {"API:dg-key", "Token API:dg-key"},  // the prefix test is exact
      {"api:web:dg-key", "Token web:dg-key"},  // only one prefix is dropped
      {"", std::nullopt},
      {"   \n", std::nullopt},
      {"web:", std::nullopt},
      {"web:   \t\n", std::nullopt},
      {"api:\u00A0", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credential);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, 200, R"({"projects":[{"project_id":"p"}]})");
    local.respond(usageURL("p"), 200, R"({"results":[]})");
    if (c.authorization) {
      fresh.fetchUsage(c.credential);
      ASSERT_EQ(local.requestCount(), 2u);
      EXPECT_EQ(local.requests()[0].headers.get("Authorization"), c.authorization);
    } else {
      EXPECT_EQ(errorText([&] { fresh.fetchUsage(c.credential); }), "Invalid Deepgram API key");
      EXPECT_EQ(local.requestCount(), 0u);
    }
  }
}

TEST_F(DeepgramTest, UsageStartIsMidnightUTCOnTheFirstOfTheMonth) {
  struct Case {
    std::string now;
    std::string start;
  };
  const std::vector<Case> cases{
      {"2026-12-15T10:00:00Z", "2026-12-01T00:00:00Z"},
      {"2026-12-01T00:00:00Z", "2026-12-01T00:00:00Z"},
      {"2026-11-30T23:59:59Z", "2026-11-01T00:00:00Z"},
      {"2028-02-29T12:00:00Z", "2028-02-01T00:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(formatRFC3339Seconds(deepgram_detail::usageStart(at(c.now))), c.start);
  }
}

TEST_F(DeepgramTest, EncodesTheProjectIdentifierAsOnePathSegment) {
  struct Case {
    std::string projectID;
    std::string segment;
  };
  const std::vector<Case> cases{
      {"4f1c-9a_b.c~d", "4f1c-9a_b.c~d"},
      {"a/b", "a%2Fb"},
      {"../admin", "..%2Fadmin"},
      {"x?start=1970", "x%3Fstart%3D1970"},
      {"p#frag", "p%23frag"},
      {"p q%", "p%20q%25"},
      {"\xC3\xA9", "%C3%A9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.projectID);
    EXPECT_EQ(deepgram_detail::usageURL("https://api.deepgram.com", c.projectID, clock.now()),
              usageURL(c.segment));
  }
}

// ---- Project list ----

TEST_F(DeepgramTest, ProjectListFailuresEndTheFetch) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> script;
    std::string error;
  };
  const std::vector<Case> cases{
      {"401", [](FakeTransport& t) { t.respond(kProjects, 401, R"({"err_msg":"bad"})"); }, "Invalid Deepgram API key"},
      {"403", [](FakeTransport& t) { t.respond(kProjects, 403, ""); }, "Invalid Deepgram API key"},
      {"500", [](FakeTransport& t) { t.respond(kProjects, 500, "oops"); }, "Deepgram API error 500"},
      {"204 is not 200", [](FakeTransport& t) { t.respond(kProjects, 204, ""); }, "Deepgram API error 204"},
      {"404", [](FakeTransport& t) { t.respond(kProjects, 404, "{}"); }, "Deepgram API error 404"},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(kProjects); }, "Unexpected response from Deepgram"},
      {"empty list", [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":[]})"); },
       "Invalid Deepgram API key"},
      {"not JSON", [](FakeTransport& t) { t.respond(kProjects, 200, "<html>"); }, "the data is not valid JSON"},
      {"no projects key", [](FakeTransport& t) { t.respond(kProjects, 200, "{}"); }, "missing key \"projects\""},
      {"null projects", [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":null})"); },
       "missing key \"projects\""},
      {"projects not a list", [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":{}})"); },
       "expected an array at \"projects\""},
      {"top level a list", [](FakeTransport& t) { t.respond(kProjects, 200, "[]"); },
       "expected an object at the top level"},
      {"project without id",
       [](FakeTransport& t) {
         t.respond(kProjects, 200, R"({"projects":[{"project_id":"p"},{"name":"No id"}]})");
       },
       "missing key \"projects[1].project_id\""},
      {"numeric id", [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":[{"project_id":7}]})"); },
       "expected a string at \"projects[0].project_id\""},
      {"numeric name",
       [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":[{"project_id":"p","name":1}]})"); },
       "expected a string at \"projects[0].name\""},
      {"project not an object", [](FakeTransport& t) { t.respond(kProjects, 200, R"({"projects":["p"]})"); },
       "expected an object at \"projects[0]\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    c.script(local);
    EXPECT_EQ(errorText([&] { fresh.fetchUsage("dg-key"); }), c.error);
    EXPECT_EQ(local.requestCount(), 1u) << "no usage request may follow a failed project list";
  }
}

TEST_F(DeepgramTest, ErrorsCarryTheirCase) {
  transport.respond(kProjects, 502, "");
  try {
    fetch();
    FAIL() << "nothing was thrown";
  } catch (const DeepgramError& error) {
    EXPECT_EQ(error.code(), DeepgramErrorCode::httpError);
    EXPECT_EQ(error.value(), 502);
  }
}

TEST_F(DeepgramTest, TransportErrorsPassThroughUnchanged) {
  transport.fail(kProjects, TransportError(TransportError::Kind::timeout, "The request timed out."));
  try {
    fetch();
    FAIL() << "nothing was thrown";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::timeout);
    EXPECT_STREQ(error.what(), "The request timed out.");
  }
}

TEST_F(DeepgramTest, ReadsProjectsInBodyOrderIgnoringOtherMembers) {
  const auto response = deepgram_detail::decodeProjects(
      R"({"projects":[{"project_id":"b","name":"Beta","company":"x"},{"project_id":"a","name":null},)"
      R"({"project_id":"c","name":""}],"extra":1})");
  const std::vector<DeepgramProject> want{{"b", "Beta"}, {"a", std::nullopt}, {"c", ""}};
  EXPECT_EQ(response.projects, want);
}

// ---- Usage breakdown ----

TEST_F(DeepgramTest, AddsUpTheBreakdownEntries) {
  struct Case {
    std::string body;
    DeepgramProjectUsage want;
  };
  const std::vector<Case> cases{
      {R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"total_hours":0.25}]})", {15, 1.75}},
      {R"({"results":[{"hours":2,"total_hours":3}]})", {0, 3}},
      {R"({"results":[{"hours":2}]})", {0, 2}},
      {R"({"results":[{}]})", {0, 0}},
      {R"({"results":[{"requests":null,"hours":null,"total_hours":null}]})", {0, 0}},
      {R"({"results":[{"hours":2,"total_hours":null}]})", {0, 2}},
      {R"({"results":[{"requests":4.0,"hours":1}]})", {4, 1}},
      {R"({"results":[{"requests":3,"start":"2026-12-01","x":[1]},{"requests":-1}]})", {2, 0}},
      {R"({"results":[]})", {0, 0}},
      {R"({"results":[{"requests":9223372036854775806},{"requests":1}]})",
       {std::numeric_limits<std::int64_t>::max(), 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(deepgram_detail::sumUsage(deepgram_detail::decodeUsage(c.body)), c.want);
  }
}

TEST_F(DeepgramTest, RejectsABreakdownOfTheWrongShape) {
  struct Case {
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases{
      {"{}", "missing key \"results\""},
      {R"({"results":{}})", "expected an array at \"results\""},
      {R"({"results":[{"requests":"5"}]})", "expected an integer at \"results[0].requests\""},
      {R"({"results":[{"requests":1.5}]})", "expected an integer at \"results[0].requests\""},
      {R"({"results":[{"requests":true}]})", "expected an integer at \"results[0].requests\""},
      {R"({"results":[{"requests":9223372036854775808}]})", "expected an integer at \"results[0].requests\""},
      {R"({"results":[{},{"hours":"2"}]})", "expected a number at \"results[1].hours\""},
      {R"({"results":[{"total_hours":false}]})", "expected a number at \"results[0].total_hours\""},
      {R"({"results":[3]})", "expected an object at \"results[0]\""},
      {"", "the data is not valid JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(errorText([&] { deepgram_detail::decodeUsage(c.body); }), c.error);
  }
}

TEST_F(DeepgramTest, RequestCountsThatOverflowMakeTheBreakdownUnreadable) {
  const auto usage = deepgram_detail::decodeUsage(R"({"results":[{"requests":9223372036854775807},{"requests":1}]})");
  EXPECT_EQ(deepgram_detail::sumUsage(usage), std::nullopt);
  const auto negative =
      deepgram_detail::decodeUsage(R"({"results":[{"requests":-9223372036854775808},{"requests":-1}]})");
  EXPECT_EQ(deepgram_detail::sumUsage(negative), std::nullopt);

  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p"}]})");
  transport.respond(usageURL("p"), 200, R"({"results":[{"requests":9223372036854775807},{"requests":1}]})");
  EXPECT_EQ(fetchError(), "Unexpected response from Deepgram");
}

TEST_F(DeepgramTest, HoursThatAddUpToInfinityMakeTheBreakdownUnreadable) {
  const auto usage = deepgram_detail::decodeUsage(R"({"results":[{"hours":1.7e308},{"total_hours":1.7e308}]})");
  EXPECT_EQ(deepgram_detail::sumUsage(usage), std::nullopt);
}

// ---- One fetch ----

TEST_F(DeepgramTest, OneNamedProjectMakesTheRecord) {
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p-1","name":"Main"}]})");
  transport.respond(usageURL("p-1"), 200,
                    R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"total_hours":0.25}]})");

  UsageData hours = UsageData::blank(Provider::deepgram);
  hours.used = 1.75;
  hours.resetPeriod = ResetPeriod::monthly;
  hours.lastUpdated = clock.now();
  hours.note = "Hours";
  UsageData want = UsageData::blank(Provider::deepgram);
  want.used = 15;
  want.resetAt = at("2027-01-01T00:00:00Z");
  want.resetPeriod = ResetPeriod::monthly;
  want.lastUpdated = clock.now();
  want.note = "Project: Main";
  want.auxiliaryUsage = {hours};

  EXPECT_EQ(fetch(), want);
}

TEST_F(DeepgramTest, NoteForASingleProject) {
  struct Case {
    std::string project;
    std::optional<std::string> note;
  };
  const std::vector<Case> cases{
      {R"({"project_id":"p"})", std::nullopt},
      {R"({"project_id":"p","name":null})", std::nullopt},
      {R"({"project_id":"p","name":""})", "Project: "},
      {R"({"project_id":"p","name":"Team \"A\" · ü"})", "Project: Team \"A\" · ü"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.project);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, 200, R"({"projects":[)" + c.project + "]}");
    local.respond(usageURL("p"), 200, R"({"results":[{"requests":10,"total_hours":1.5}]})");
    const auto record = fresh.fetchUsage("dg-key");
    EXPECT_EQ(record.note, c.note);
    EXPECT_EQ(record.used, 10);
    ASSERT_EQ(record.auxiliaryUsage.size(), 1u);
    EXPECT_EQ(record.auxiliaryUsage[0].used, 1.5);
  }
}

TEST_F(DeepgramTest, SeveralProjectsAreAddedUpAndCountedWithoutAName) {
  transport.respond(kProjects, 200,
                    R"({"projects":[{"project_id":"a","name":"A"},{"project_id":"b","name":"B"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[{"requests":3,"hours":0.5}]})");
  transport.respond(usageURL("b"), 200, R"({"results":[{"requests":4,"total_hours":2}]})");

  const auto record = fetch();
  EXPECT_EQ(record.used, 7);
  EXPECT_EQ(record.note, "2/2 projects aggregated");
  EXPECT_EQ(record.auxiliaryUsage.at(0).used, 2.5);
  EXPECT_EQ(sentURLs(), (std::vector<std::string>{kProjects, usageURL("a"), usageURL("b")}));
}

TEST_F(DeepgramTest, AFailingProjectIsLeftOutAndCounted) {
  transport.respond(kProjects, 200,
                    R"({"projects":[{"project_id":"a"},{"project_id":"b"},{"project_id":"c"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[{"requests":1,"hours":1}]})");
  transport.respond(usageURL("b"), 500, "");
  transport.respond(usageURL("c"), 200, R"({"results":[{"requests":2,"hours":0.5}]})");

  const auto record = fetch();
  EXPECT_EQ(record.used, 3);
  EXPECT_EQ(record.note, "2/3 projects aggregated");
  EXPECT_EQ(record.auxiliaryUsage.at(0).used, 1.5);
  EXPECT_EQ(sentURLs(), (std::vector<std::string>{kProjects, usageURL("a"), usageURL("b"), usageURL("c")}));
}

TEST_F(DeepgramTest, AnyKindOfProjectFailureIsHeldBack) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> script;
  };
  const std::vector<Case> cases{
      {"403", [](FakeTransport& t) { t.respond(usageURL("b"), 403, ""); }},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(usageURL("b")); }},
      {"transport", [](FakeTransport& t) {
         t.fail(usageURL("b"), TransportError(TransportError::Kind::connection, "offline"));
       }},
      {"decoding", [](FakeTransport& t) { t.respond(usageURL("b"), 200, R"({"results":[{"requests":"x"}]})"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"}]})");
    local.respond(usageURL("a"), 200, R"({"results":[{"requests":6}]})");
    c.script(local);
    const auto record = fresh.fetchUsage("dg-key");
    EXPECT_EQ(record.used, 6);
    EXPECT_EQ(record.note, "1/2 projects aggregated");
  }
}

TEST_F(DeepgramTest, WhenEveryProjectFailsTheLastErrorEndsTheFetch) {
  struct Case {
    std::string name;
    std::function<void(FakeTransport&)> last;
    std::string error;
  };
  const std::vector<Case> cases{
      {"500", [](FakeTransport& t) { t.respond(usageURL("c"), 500, ""); }, "Deepgram API error 500"},
      {"403", [](FakeTransport& t) { t.respond(usageURL("c"), 403, ""); }, "Invalid Deepgram API key"},
      {"not HTTP", [](FakeTransport& t) { t.respondNotHTTP(usageURL("c")); }, "Unexpected response from Deepgram"},
      {"decoding", [](FakeTransport& t) { t.respond(usageURL("c"), 200, "{}"); }, "missing key \"results\""},
      {"transport",
       [](FakeTransport& t) { t.fail(usageURL("c"), TransportError(TransportError::Kind::connection, "offline")); },
       "offline"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, 200,
                  R"({"projects":[{"project_id":"a"},{"project_id":"b"},{"project_id":"c"}]})");
    local.respond(usageURL("a"), 401, "");
    local.respond(usageURL("b"), 500, "");
    c.last(local);
    EXPECT_EQ(errorText([&] { fresh.fetchUsage("dg-key"); }), c.error);
    EXPECT_EQ(local.requestCount(), 4u);
  }
}

TEST_F(DeepgramTest, AProjectWithAnEmptyBreakdownCountsAsAnswered) {
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[]})");
  transport.respond(usageURL("b"), 500, "");

  const auto record = fetch();
  EXPECT_EQ(record.used, 0);
  EXPECT_EQ(record.note, "1/2 projects aggregated");
  EXPECT_EQ(record.auxiliaryUsage.at(0).used, 0);
}

// ---- Hostile project identifiers and figures ----

TEST_F(DeepgramTest, AnIdentifierThatIsNoPathSegmentSkipsItsProjectAsFailed) {
  transport.respond(kProjects, 200,
                    R"({"projects":[{"project_id":".."},{"project_id":"ok"},{"project_id":""},)"
                    R"({"project_id":"."},{"project_id":"a/../b"}]})");
  transport.respond(usageURL("ok"), 200, R"({"results":[{"requests":2}]})");
  transport.respond(usageURL("a%2F..%2Fb"), 200, R"({"results":[{"requests":1}]})");

  const auto record = fetch();
  EXPECT_EQ(record.used, 3);
  EXPECT_EQ(record.note, "2/5 projects aggregated");
  EXPECT_EQ(sentURLs(), (std::vector<std::string>{kProjects, usageURL("ok"), usageURL("a%2F..%2Fb")}));
}

TEST_F(DeepgramTest, OnlyUnusableIdentifiersFailTheFetchWithoutAUsageRequest) {
  for (const std::string id : {"", ".", ".."}) {
    SCOPED_TRACE(id);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, 200, R"({"projects":[{"project_id":")" + id + R"("}]})");
    EXPECT_EQ(errorText([&] { fresh.fetchUsage("dg-key"); }), "Unexpected response from Deepgram");
    EXPECT_EQ(local.requestCount(), 1u);
  }
}

TEST_F(DeepgramTest, AProjectWhoseRequestsWouldOverflowTheTotalIsLeftOut) {
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"},{"project_id":"c"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[{"requests":9223372036854775807,"hours":1}]})");
  transport.respond(usageURL("b"), 200, R"({"results":[{"requests":1,"hours":5}]})");
  transport.respond(usageURL("c"), 200, R"({"results":[{"requests":0,"hours":2}]})");

  const auto record = fetch();
  EXPECT_EQ(record.used, static_cast<double>(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(record.note, "2/3 projects aggregated");
  EXPECT_EQ(record.auxiliaryUsage.at(0).used, 3);
}

TEST_F(DeepgramTest, AProjectWhoseHoursWouldMakeTheTotalInfiniteIsLeftOut) {
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[{"requests":1,"hours":1.7e308}]})");
  transport.respond(usageURL("b"), 200, R"({"results":[{"requests":1,"hours":1.7e308}]})");

  const auto record = fetch();
  EXPECT_EQ(record.used, 1);
  EXPECT_EQ(record.note, "1/2 projects aggregated");
  EXPECT_EQ(record.auxiliaryUsage.at(0).used, 1.7e308);
}

TEST_F(DeepgramTest, ErrorTextsNeverCarryServerTextOrTheKey) {
  const std::string flood(5000, 'Z');
  struct Case {
    std::string name;
    int status;
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases{
      {"error page", 500, flood, "Deepgram API error 500"},
      {"rejected", 401, "{\"err_msg\":\"" + flood + " dg-secret\"}", "Invalid Deepgram API key"},
      {"not JSON", 200, flood, "the data is not valid JSON"},
      {"deep nesting", 200, std::string(100000, '['), "the JSON nests too deeply"},
      {"wrong type", 200, "{\"projects\":\"" + flood + "\"}", "expected an array at \"projects\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceWorld world(clock.now());
    FakeTransport& local = world.transport;
    DeepgramService fresh(world.context);
    local.respond(kProjects, c.status, c.body);
    const auto error = errorText([&] { fresh.fetchUsage("dg-secret"); });
    EXPECT_EQ(error, c.error);
    EXPECT_LE(codePointCount(error), kMaxErrorTextCodePoints);
  }
}

// ---- Calendar ----

TEST_F(DeepgramTest, StartIsTheUTCMonthWhileTheResetIsTheLocalOne) {
  const TimeZoneGuard plusTwo("XST-2");  // two hours east of UTC, no daylight saving
  const FixedClock newYear(at("2026-12-31T22:30:00Z"));  // 00:30 on 1 January 2027 locally
  DeepgramService local(ServiceContext{transport, newYear, world.environment, world.origins});
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p"}]})");
  transport.respond(usageURL("p"), 200, R"({"results":[]})");

  const auto record = local.fetchUsage("dg-key");
  EXPECT_EQ(record.resetAt, at("2027-01-31T22:00:00Z"));
  EXPECT_EQ(record.auxiliaryUsage.at(0).resetAt, std::nullopt);
  EXPECT_EQ(transport.requests().at(1).url, usageURL("p"));
}

// ---- Cancellation ----

TEST_F(DeepgramTest, AStopRequestBetweenProjectsEndsTheSequence) {
  std::stop_source source;
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"},{"project_id":"c"}]})");
  transport.handle(usageURL("a"), [&](const HTTPRequest& request, std::stop_token) {
    source.request_stop();  // the user cancels while the first answer arrives
    HTTPResponse response;
    response.status = 200;
    response.body = R"({"results":[{"requests":1}]})";
    response.url = request.url;
    return response;
  });
  transport.respond(usageURL("b"), 200, R"({"results":[]})");

  try {
    service.fetchUsage("dg-key", source.get_token());
    FAIL() << "a stopped fetch must not report success";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
  }
  EXPECT_EQ(sentURLs(), (std::vector<std::string>{kProjects, usageURL("a")}));
}

TEST_F(DeepgramTest, AProjectRequestCancelledInFlightIsNoPartialSuccess) {
  std::stop_source source;
  std::atomic<bool> inFlight{false};
  transport.respond(kProjects, 200, R"({"projects":[{"project_id":"a"},{"project_id":"b"}]})");
  transport.respond(usageURL("a"), 200, R"({"results":[{"requests":1}]})");
  transport.handle(usageURL("b"), [&](const HTTPRequest& request, std::stop_token stop) {
    inFlight = true;
    return testing::blockUntilCancelled()(request, stop);
  });

  std::thread canceller([&] {
    while (!inFlight) std::this_thread::yield();
    source.request_stop();
  });
  try {
    const auto record = service.fetchUsage("dg-key", source.get_token());
    ADD_FAILURE() << "a stopped fetch reported " << record.note.value_or("");
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
  }
  canceller.join();
  EXPECT_EQ(sentURLs(), (std::vector<std::string>{kProjects, usageURL("a"), usageURL("b")}));
}

}  // namespace
}  // namespace dapplewick
