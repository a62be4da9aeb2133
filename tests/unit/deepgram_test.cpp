#include "providers/deepgram.hpp"

#include <gtest/gtest.h>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "support/env_guard.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kProjects = "https://api.deepgram.com/v1/projects";
constexpr int kNotHTTP = 0;
constexpr int kOffline = -1;
constexpr int kSkipped = -2;  // never asked

Timestamp at(std::string_view text) { return parseRFC3339(text, FractionMode::forbidden).value(); }

std::string usageURL(const std::string& segment) {
  return kProjects + "/" + segment + "/usage/breakdown?start=2026-12-01T00:00:00Z";
}

void answer(testing::FakeTransport& transport, const std::string& url, int status, const std::string& body) {
  if (status == kNotHTTP) return transport.respondNotHTTP(url);
  if (status == kOffline) return transport.fail(url, TransportError(TransportError::Kind::connection, "offline"));
  transport.respond(url, status, body);
}

// "REQUESTS HOURS NOTE" of the record.
std::string describe(const UsageData& record) {
  return formatFixed(record.used, 0) + " " + formatFixed(record.auxiliaryUsage.at(0).used, 2) + " " +
         record.note.value_or("");
}

// The breakdown starts at the UTC month, December here, while the reset is at the next local month: 00:30 on
// 1 January 2027 locally is still December in UTC.
class DeepgramTest : public ::testing::Test {
 protected:
  testing::TimeZoneGuard zone{"XST-2"};
  testing::ServiceWorld world{at("2026-12-31T22:30:00Z")};
};

TEST_F(DeepgramTest, SendsTheProjectListThenOneBreakdownPerProjectAndMakesTheRecord) {
  world.transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p-1","name":"Main"}]})");
  world.transport.respond(usageURL("p-1"), 200,
                          R"({"results":[{"requests":10,"total_hours":1.5},{"requests":5,"hours":0.25}]})");
  const UsageData record = DeepgramService(world.context).fetchUsage("api:  dg-key\n");
  const auto requests = world.transport.requests();
  const std::string headers =
      " (60000 ms)\nAuthorization: Token dg-key\nAccept: application/json\n"
      "User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)";
  EXPECT_EQ(testing::requestText(requests.at(0)), "GET " + kProjects + headers);
  EXPECT_EQ(testing::requestText(requests.at(1)), "GET " + usageURL("p-1") + headers);

  UsageData hours = UsageData::blank(Provider::deepgram);
  hours.used = 1.75;
  hours.resetPeriod = ResetPeriod::monthly;
  hours.lastUpdated = world.clock.now();
  hours.note = "Hours";
  UsageData want = hours;
  want.used = 15;
  want.resetAt = at("2027-01-31T22:00:00Z");
  want.note = "Project: Main";
  want.auxiliaryUsage = {hours};
  EXPECT_EQ(record, want);
  EXPECT_EQ(deepgram::makeUsageData({{1, 0}, 1, 1, std::nullopt}, world.clock.now()).note, std::nullopt);
}

// A failed project list ends the fetch. A project that fails, whose breakdown cannot be added up or added to the
// total, or whose identifier cannot stand as one path segment is left out and counted in the note; when every
// project fails, the last error ends the fetch.
TEST_F(DeepgramTest, AddsUpTheProjectsThatAnswer) {
  struct Project {
    std::string id;  // also the name
    int status;
    std::string body;
    std::string segment = "";  // in the URL, when it is not the identifier
  };
  struct Case {
    std::vector<Project> projects;  // listed in a 200 answer unless `listStatus` or `listBody` says otherwise
    std::string want;
    int listStatus = 200;
    std::string listBody = "";
  };
  const auto results = [](const std::string& entries) { return R"({"results":[)" + entries + "]}"; };
  const std::string max = "9223372036854775807";
  const std::string huge = results(R"({"requests":1,"hours":1.7e308})");
  const std::string two = results(R"({"requests":2})");
  const std::string unexpected = "Unexpected response from Deepgram";
  const std::vector<Case> cases{
      {{}, "Invalid Deepgram API key", 401}, {{}, "Invalid Deepgram API key"},
      {{}, "expected a string at \"projects[0].name\"", 200, R"({"projects":[{"project_id":"p","name":1}]})"},
      // One breakdown: the billed hours when both are given, absent figures counted as none.
      {{{"a", 200, results(R"({"requests":10,"total_hours":1.5,"hours":9},{"requests":5,"hours":0.25})")}},
       "15 1.75 Project: a"},
      {{{"a", 200, results(R"({"hours":2,"total_hours":null},{"requests":null},{})")}}, "0 2.00 Project: a"},
      // Requests beyond 64 bits or hours beyond a finite figure make the breakdown unusable.
      {{{"a", 200, results(R"({"requests":)" + max + R"(},{"requests":1})")}}, unexpected},
      {{{"a", 200, results(R"({"hours":1.7e308},{"total_hours":1.7e308})")}}, unexpected},
      {{{"a", 200, results(R"({},{"total_hours":"2"})")}}, "expected a number at \"results[1].total_hours\""},
      // Several projects.
      {{{"a", 200, results("")}, {"b", 500, ""}, {"c", 200, results(R"({"requests":2,"hours":0.5})")}},
       "2 0.50 2/3 projects aggregated"},
      {{{"a", 200, results(R"({"requests":6})")}, {"b", 403, ""}, {"c", kNotHTTP, ""}, {"d", kOffline, ""},
        {"e", 200, results(R"({"requests":"x"})")}},
       "6 0.00 1/5 projects aggregated"},
      {{{"a", 200, results(R"({"requests":)" + max + R"(,"hours":1})")},
        {"b", 200, results(R"({"requests":1,"hours":5})")}, {"c", 200, results(R"({"hours":2})")}},
       "9223372036854775808 3.00 2/3 projects aggregated"},
      {{{"a", 200, huge}, {"b", 200, huge}}, "1 " + formatFixed(1.7e308, 2) + " 1/2 projects aggregated"},
      {{{"..", kSkipped, ""}, {"ok", 200, two}, {"", kSkipped, ""}, {".", kSkipped, ""},
        {"a/../b", 200, two, "a%2F..%2Fb"}, {"x?start=1970#f \u00E9", 200, two, "x%3Fstart%3D1970%23f%20%C3%A9"}},
       "6 0.00 3/6 projects aggregated"},
      {{{"..", kSkipped, ""}}, unexpected},
      {{{"a", 401, ""}, {"b", 500, ""}, {"c", kOffline, ""}}, "offline"},
      {{{"a", kOffline, ""}, {"b", 401, ""}, {"c", 500, ""}}, "Deepgram API error 500"},
      {{{"a", 500, ""}, {"b", kNotHTTP, ""}}, unexpected},
      {{{"a", 500, ""}, {"b", 200, "{}"}}, "missing key \"results\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    testing::ServiceWorld fresh(world.clock.now());
    Json list = Json::array();
    std::vector<std::string> urls{kProjects};
    for (const auto& p : c.projects) {
      list.push_back({{"project_id", p.id}, {"name", p.id}});
      if (p.status == kSkipped) continue;
      urls.push_back(usageURL(p.segment.empty() ? p.id : p.segment));
      answer(fresh.transport, urls.back(), p.status, p.body);
    }
    answer(fresh.transport, kProjects, c.listStatus, c.listBody.empty() ? Json{{"projects", list}}.dump() : c.listBody);
    EXPECT_EQ(testing::outcomeOf([&] { return DeepgramService(fresh.context).fetchUsage("dg-key"); }, describe),
              c.want);
    std::vector<std::string> sent;
    for (const auto& request : fresh.transport.requests()) sent.push_back(request.url);
    EXPECT_EQ(sent, urls) << "every project is asked once, in order";
  }
}

}  // namespace
}  // namespace dapplewick
