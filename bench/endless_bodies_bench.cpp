// The real binary's memory when answers are too large: every host of every provider (or of one provider alone)
// streams a body that never ends, all at once, so each request fills its buffer up to the 8 MiB bound before it
// is refused. "peak_MiB" is the binary's largest resident set, whose floor is about "requests" x 8 MiB; "cpu_ms"
// is its CPU time and the reported time its wall time, per run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"
#include "support/loopback_server.hpp"
#include "support/service_scenarios.hpp"

namespace {

using namespace dapplewick;
using std::chrono::duration;

// Far beyond the bound, yet a client that never hangs up cannot keep a server thread sending forever.
constexpr std::size_t kMostSent = std::size_t{256} * 1024 * 1024;

std::string endlessBody(const testing::ReceivedRequest&, testing::LoopbackServer::Connection& peer) {
  const std::string chunk(std::size_t{64} * 1024, '7');
  bool more = peer.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n");
  for (std::size_t sent = 0; more && sent < kMostSent; sent += chunk.size()) more = peer.send(chunk);
  return "";
}

void BM_EndlessBodies(benchmark::State& state) {
  const bool alone = state.range(0) != 0;
  std::vector<testing::Scenario> scenarios = testing::firstScenarioOfEachProvider();
  if (alone) scenarios.resize(1);
  std::vector<const testing::Scenario*> rows;
  rows.reserve(scenarios.size());
  for (const auto& scenario : scenarios) rows.push_back(&scenario);
  testing::Sandbox sandbox;
  const testing::ScenarioStage stage(sandbox, rows, {}, "", endlessBody);

  double cpu = 0, peak = 0;
  for (auto _ : state) {
    const testing::RunResult result = sandbox.run({"--json"});
    if ((result.out + result.err).find("is larger than 8388608 bytes") == std::string::npos) {
      state.SkipWithError("no answer was refused as too large");
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
  state.SetLabel(alone ? "one provider" : "every provider");
}
BENCHMARK(BM_EndlessBodies)->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
