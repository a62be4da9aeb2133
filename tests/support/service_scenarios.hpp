#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/json_document.hpp"
#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"

namespace dapplewick::testing {

// The table of what each provider's loopback stand-in answers, and what the real binary must make of it: the
// end-to-end tests run each row alone, the refresh benchmark runs one row of every provider at once.

struct Answer {
  std::vector<std::string> when = {};  // texts the raw request holds, all of them; the first answer that fits is given
  int status = 200;
  std::string body = {};
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{};  // before the answer is sent
};

// One provider host; a request that no answer fits gets a 404.
struct Host {
  std::vector<std::string> originKeys = {};
  std::vector<Answer> answers = {};
  std::size_t wantRequests = 0;
};

// A row names its fields; those a provider has no use for (hosts for one that asks none, a secret for one that
// takes none) are left out.
struct Scenario {
  std::string name = {};
  std::string provider = {};
  std::string credential = {};  // "{origin}" stands for the first host's origin, here and in `environment`
  std::string secret = {};      // never printed
  std::vector<Host> hosts = {};
  std::vector<std::string> onEveryRequest = {};  // header lines, exactly as sent
  Json want = {};                                // fields of the record ("/a/0/b" paths of it)
  std::vector<std::string> textShows = {};       // texts the record's plain-text output holds
  std::map<std::string, std::string> environment = {};
  // Shell commands of a stand-in kiro-cli placed first on PATH, for `whoami` and for the usage report.
  std::string kiroWhoami{}, kiroUsage{};
  std::string startedAfter{};  // what the binary's parent left behind (Sandbox::setStartedAfter)
  bool https{};                // the servers present a test certificate that config.json's caBundle trusts
  std::map<std::string, std::string> homeFiles{};  // path in the private HOME, content
};

// Test names show the row's name.
void PrintTo(const Scenario& scenario, std::ostream* out);

// Every row, several for some providers.
std::vector<Scenario> serviceScenarios();
// The first row of each provider, in the order of serviceScenarios().
std::vector<Scenario> firstScenarioOfEachProvider();

// Sets up `scenarios` in a sandbox: their loopback servers (https ones sharing one test certificate that
// config.json's caBundle trusts), origins, files in the private HOME, environment, credentials and, for Kiro, a
// stand-in kiro-cli first on PATH. Every answer waits `latency` first, as a distant server would. The caBundle
// holds `moreAuthorities` (PEM) too, as a user's bundle of many authorities would. Given `answerAll`, every host
// answers every request with it instead of the scenarios' answers.
class ScenarioStage {
 public:
  ScenarioStage(Sandbox& sandbox, const std::vector<const Scenario*>& scenarios,
                std::chrono::milliseconds latency = std::chrono::milliseconds(0),
                const std::string& moreAuthorities = "", const LoopbackServer::Handler& answerAll = {});
  // The servers of scenario `index`, one per host, in the order of its hosts.
  const std::vector<std::unique_ptr<LoopbackServer>>& servers(std::size_t index) const { return servers_[index]; }

 private:
  TempDir files_;
  std::vector<std::vector<std::unique_ptr<LoopbackServer>>> servers_;
};

}  // namespace dapplewick::testing
