// Every service end to end: the real binary, a saved credential and the real transport against loopback servers
// that play the provider (for Kiro, a stand-in kiro-cli first on PATH). One test per row of the scenario table.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/e2e_harness.hpp"
#include "support/service_scenarios.hpp"

namespace dapplewick {
namespace {

using testing::Answer;
using testing::Host;
using testing::ReceivedRequest;
using testing::Scenario;

class ServiceEndToEnd : public ::testing::TestWithParam<Scenario> {};

TEST_P(ServiceEndToEnd, PrintsTheRecordOfWhatTheProviderAnswers) {
  const Scenario& scenario = GetParam();
  testing::Sandbox sandbox;
  const testing::ScenarioStage stage(sandbox, {&scenario});
  const auto& servers = stage.servers(0);

  const auto begin = std::chrono::steady_clock::now();
  const Json records = sandbox.runJson({scenario.provider});
  // A service that gives up on a slow answer after its time-out must not wait for it much longer.
  const bool delayed = std::any_of(scenario.hosts.begin(), scenario.hosts.end(), [](const Host& host) {
    return std::any_of(host.answers.begin(), host.answers.end(), [](const Answer& a) { return a.delay.count() > 0; });
  });
  if (delayed) {
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
  }
  ASSERT_EQ(records.size(), 1u) << records.dump();
  EXPECT_EQ(records[0].value("id", ""), scenario.provider);
  const Json want = scenario.want.flatten();
  for (const auto& [pointer, value] : want.items()) {
    EXPECT_EQ(records[0].value(Json::json_pointer(pointer), Json()), value) << pointer << " in " << records[0].dump();
  }
  for (std::size_t i = 0; i < servers.size(); ++i) {
    EXPECT_EQ(servers[i]->requests().size(), scenario.hosts[i].wantRequests) << "host " << i;
    for (const ReceivedRequest& request : servers[i]->requests()) {
      for (const auto& line : scenario.onEveryRequest) {
        EXPECT_NE(request.raw.find("\r\n" + line + "\r\n"), std::string::npos) << line << " in\n" << request.raw;
      }
    }
  }
  const std::string text = sandbox.run({scenario.provider}).out;
  for (const auto& part : scenario.textShows) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  }
  if (!scenario.secret.empty()) {
    const std::string shown = records.dump() + text;
    EXPECT_EQ(shown.find(scenario.secret), std::string::npos) << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ServiceEndToEnd, ::testing::ValuesIn(testing::serviceScenarios()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace dapplewick
