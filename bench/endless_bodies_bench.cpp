// The real binary's memory and CPU when answers are too large or too dense: every host of every provider (or of one
// provider alone) answers the same body, all at once.
// - Endless bodies never end, so each request fills its buffer up to the body bound before it is refused;
//   "peak_MiB" is the binary's largest resident set, whose floor is about "requests" x the bound.
// - Dense bodies fit within the bound but hold many values: an object of 160,000 keys, or a list of empty lists
//   or of zeros filling the bound, so that reading them, not receiving them, is what costs.
// "cpu_ms" is the binary's CPU time and the reported time its wall time, per run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "net/curl_transport.hpp"
#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/service_scenarios.hpp"

namespace {

using namespace dapplewick;
using std::chrono::duration;

const std::size_t kBodyBound = CurlTransportOptions{}.maxBodyBytes;

// Far beyond the bound, yet a client that never hangs up cannot keep a server thread sending forever.
constexpr std::size_t kMostSent = std::size_t{256} * 1024 * 1024;

std::string endlessBody(const testing::ReceivedRequest&, testing::LoopbackServer::Connection& peer) {
  const std::string chunk(std::size_t{64} * 1024, '7');
  bool more = peer.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n");
  for (std::size_t sent = 0; more && sent < kMostSent; sent += chunk.size()) more = peer.send(chunk);
  return "";
}

enum class Dense { keys, emptyLists, zeros };

std::string denseBody(Dense kind) {
  std::string body;
  if (kind == Dense::keys) {
    body = "{";
    char key[24];
    for (int i = 0; i < 160'000; ++i) {
      std::snprintf(key, sizeof key, "%s\"k%06d\":0", i == 0 ? "" : ",", i);
      body += key;
    }
    return body + "}";
  }
  const std::string element = kind == Dense::zeros ? "0" : "[]";
  body = "[" + element;
  while (body.size() + element.size() + 2 <= kBodyBound) body += "," + element;
  return body + "]";
}

// Runs the binary against `answer` from every host, of every provider or of the provider `alone` names (the first
// one when it names none); `expected` must show in its output. "exit" is the status of the last run.
void runStage(benchmark::State& state, std::optional<std::string> alone, const testing::LoopbackServer::Handler& answer,
              const std::string& expected) {
  std::vector<testing::Scenario> scenarios = testing::firstScenarioOfEachProvider();
  if (alone) {
    const auto kept = std::find_if(scenarios.begin(), scenarios.end(), [&](const testing::Scenario& row) {
      return alone->empty() || row.provider == *alone;
    });
    scenarios = {*kept};
  }
  std::vector<const testing::Scenario*> rows;
  rows.reserve(scenarios.size());
  for (const auto& scenario : scenarios) rows.push_back(&scenario);
  testing::Sandbox sandbox;
  const testing::ScenarioStage stage(sandbox, rows, {}, "", answer);

  double cpu = 0, peak = 0;
  int exitCode = 0;
  for (auto _ : state) {
    const testing::RunResult result = sandbox.run({"--json"});
    exitCode = result.exitCode;
    if ((result.out + result.err).find(expected) == std::string::npos) {
      state.SkipWithError(("no answer gave \"" + expected + "\"").c_str());
    }
    state.SetIterationTime(duration<double>(result.elapsed).count());
    cpu += duration<double, std::milli>(result.cpu).count();
    peak = std::max(peak, static_cast<double>(result.peakKiB) / 1024.0);
  }
  std::size_t requests = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const auto& server : stage.servers(i)) requests += server->requests().size();
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["providers"] = static_cast<double>(rows.size());
  state.counters["requests"] = static_cast<double>(requests) / runs;
  state.counters["cpu_ms"] = cpu / runs;
  state.counters["peak_MiB"] = peak;
  state.counters["exit"] = exitCode;
}

void BM_EndlessBodies(benchmark::State& state) {
  const bool alone = state.range(0) != 0;
  runStage(state, alone ? std::optional<std::string>("") : std::nullopt, endlessBody,
           "is larger than " + std::to_string(kBodyBound) + " bytes");
  state.SetLabel(alone ? "one provider" : "every provider");
}
BENCHMARK(BM_EndlessBodies)->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Arguments: the kind of body (0 keys, 1 empty lists, 2 zeros), then 1 for Groq alone, whose refresh sends four
// requests.
void BM_DenseBodies(benchmark::State& state) {
  const auto kind = static_cast<Dense>(state.range(0));
  const bool alone = state.range(1) != 0;
  const std::string response = testing::httpResponse(200, denseBody(kind), {"Content-Type: application/json"});
  runStage(
      state, alone ? std::optional<std::string>("groq") : std::nullopt,
      [&](const testing::ReceivedRequest&, testing::LoopbackServer::Connection&) { return response; }, "\"provider\"");
  const char* names[] = {"160000 keys", "empty lists", "zeros"};
  state.SetLabel(std::string(names[state.range(0)]) + (alone ? ", one provider" : ", every provider"));
}
BENCHMARK(BM_DenseBodies)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
