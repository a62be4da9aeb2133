#include "providers/deepgram.hpp"

#include <gtest/gtest.h>

#include "common/json_document.hpp"
#include "support/env_guard.hpp"
#include "support/record_text.hpp"
#include "support/service_world.hpp"
#include "support/usage_data_print.hpp"

namespace dapplewick {
namespace {

const std::string kProjects = "https://api.deepgram.com/v1/projects";

// The breakdown starts at the UTC month, December here, while the reset is at the next local month: 00:30 on
// 1 January 2027 is still December in UTC.
const Timestamp kNow{std::chrono::seconds{1'798'756'200}};  // 2026-12-31T22:30Z
auto usageURL(const std::string& id) { return kProjects + "/" + id + "/usage/breakdown?start=2026-12-01T00:00:00Z"; }
std::string results(const std::string& entries) { return R"({"results":[)" + entries + "]}"; }
std::string show(const UsageData& r) { return testing::recordText(r, kNow); }

// An answer: a JSON body (status 200), a status alone, "offline", "not HTTP", or "never asked".
void answer(testing::FakeTransport& transport, const std::string& url, const std::string& text) {
  if (text == "not HTTP") return transport.respondNotHTTP(url);
  if (text == "offline") return transport.fail(url, TransportError(TransportError::Kind::connection, "offline"));
  transport.respond(url, text.starts_with('{') ? 200 : std::stoi(text), text.starts_with('{') ? text : "");
}

TEST(DeepgramService, SendsTheProjectListThenOneBreakdownPerProjectAndMakesTheRecord) {
  testing::TimeZoneGuard zone{"XST-2"};
  const Timestamp kReset{std::chrono::seconds{1'801'432'800}};  // 2027-02-01T00:00 locally
  testing::ServiceWorld world(kNow, Provider::deepgram);
  world.transport.respond(kProjects, 200, R"({"projects":[{"project_id":"p","name":"Main"}]})");
  // The billed hours count when both are given.
  world.transport.respond(usageURL("p"), 200, results(R"({"total_hours":1.5,"hours":9},{"requests":15,"hours":1})"));
  UsageData h = UsageData::blank(Provider::deepgram);  // the hours
  std::tie(h.used, h.resetPeriod, h.lastUpdated, h.note) = std::tuple(2.5, ResetPeriod::monthly, kNow, "Hours");
  UsageData w = h;
  std::tie(w.used, w.resetAt, w.note, w.auxiliaryUsage) = std::tuple(15, kReset, "Project: Main", std::vector{h});
  EXPECT_EQ(DeepgramService(world.context).fetchUsage("api:  dg-key\n"), w);
  const std::string headers = " (60000 ms)\nAuthorization: Token dg-key\nAccept: application/json\nUser-Agent: "
                              "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36\n\n(no body)";
  EXPECT_EQ(testing::requestText(world.transport.requests().at(0)), "GET " + kProjects + headers);
  EXPECT_EQ(testing::requestText(world.transport.requests().at(1)), "GET " + usageURL("p") + headers);
  EXPECT_EQ(deepgram::makeUsageData({{1, 0}, 1, 1, std::nullopt}, kNow).note, std::nullopt);
}

// A failed project list ends the fetch. A project that fails, whose breakdown cannot be added up or added to the
// total, or whose identifier cannot stand as one path segment is left out and counted in the note; when every
// project fails, the last error ends the fetch.
TEST(DeepgramService, AddsUpTheProjectsThatAnswer) {
  // Each project: its identifier (also its name), its answer, and its URL segment when that is not the identifier.
  // They are listed in a 200 answer unless `list` gives the list's answer.
  struct Case {
    std::vector<std::vector<std::string>> projects;
    std::string want, list = "";
  };
  testing::TimeZoneGuard zone{"XST-2"};
  const std::string max = "9223372036854775807", skip = "never asked", unexpected = "Unexpected response from Deepgram";
  const std::string two = results(R"({"requests":2})"), huge = results(R"({"requests":1,"hours":1.7e308})");
  const auto total = [](const std::string& requests, const std::string& hours, const std::string& note) {
    return requests + "/0 monthly @2027-01-31T22:00:00Z '" + note + "' + " + hours + "/0 monthly 'Hours'";
  };
  // clang-format off
  const std::vector<Case> cases{
      // An empty list means the key sees nothing.
      {{}, "Invalid Deepgram API key"}, {{}, "Deepgram API error 500", "500"}, {{{"..", skip}}, unexpected},
      {{{"a", results(R"({"hours":2,"total_hours":null},{"requests":null},{})")}}, total("0", "2", "Project: a")},
      // Requests beyond 64 bits or hours beyond a finite figure make the breakdown unusable.
      {{{"a", results(R"({"requests":)" + max + R"(},{"requests":1})")}}, unexpected},
      {{{"a", results(R"({"hours":1.7e308},{"total_hours":1.7e308})")}}, unexpected},
      {{{"a", results(R"({"requests":6})")}, {"b", "403"}, {"c", "not HTTP"}, {"d", "offline"}, {"e", "500"},
        {"f", results(R"({"requests":"x"})")}, {"g", results(R"({"hours":0.5})")}},
       total("6", "0.5", "2/7 projects aggregated")},
      {{{"a", results(R"({"requests":)" + max + R"(,"hours":1})")}, {"b", results(R"({"requests":1,"hours":5})")},
        {"c", results(R"({"hours":2})")}}, total("9223372036854776000", "3", "2/3 projects aggregated")},
      {{{"a", huge}, {"b", huge}}, total("1", "17" + std::string(307, '0'), "1/2 projects aggregated")},
      {{{"..", skip}, {"ok", two}, {"", skip}, {".", skip}, {"a/../b", two, "a%2F..%2Fb"},
        {"x?start=1970#f \u00E9", two, "x%3Fstart%3D1970%23f%20%C3%A9"}}, total("6", "0", "3/6 projects aggregated")},
      {{{"a", "401"}, {"b", "offline"}}, "offline"}, {{{"a", "offline"}, {"b", "not HTTP"}}, unexpected}};
  // clang-format on
  for (const auto& c : cases) {
    testing::ServiceWorld world(kNow, Provider::deepgram);
    Json list = Json::array();
    std::vector<std::string> urls{kProjects};
    for (const auto& p : c.projects) {
      list.push_back({{"project_id", p[0]}, {"name", p[0]}});
      if (p[1] != skip) answer(world.transport, urls.emplace_back(usageURL(p.size() > 2 ? p[2] : p[0])), p[1]);
    }
    answer(world.transport, kProjects, c.list.empty() ? Json{{"projects", list}}.dump() : c.list);
    EXPECT_EQ(testing::outcomeOf([&] { return DeepgramService(world.context).fetchUsage("k"); }, show), c.want);
    std::vector<std::string> sent;
    for (const auto& request : world.transport.requests()) sent.push_back(request.url);
    EXPECT_EQ(sent, urls) << "every project is asked once, in order";
  }
}

}  // namespace
}  // namespace dapplewick
