// A whole refresh through the real binary: every provider of the scenario table at once, each answer from its
// loopback stand-in delayed by a fixed latency, over http and over https. The engine refreshes providers in
// parallel, so the refresh should end soon after its longest chain of dependent requests: "ratio" is the
// refresh's wall time over that of the slowest provider run alone. "cpu_ms" and "peak_MiB" are the binary's.
// Over https, the trusted bundle holds the system's authorities besides the test certificate, as a real one does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/e2e_harness.hpp"
#include "support/service_scenarios.hpp"

namespace {

using namespace dapplewick;
using std::chrono::duration;
using std::chrono::milliseconds;

constexpr milliseconds kLatency{20};

void BM_WholeRefresh(benchmark::State& state) {
  const bool https = state.range(0) != 0;
  std::vector<testing::Scenario> scenarios = testing::firstScenarioOfEachProvider();
  for (testing::Scenario& scenario : scenarios) scenario.https = scenario.https || https;
  std::vector<const testing::Scenario*> rows;
  for (const auto& scenario : scenarios) rows.push_back(&scenario);
  testing::Sandbox sandbox;
  // The system's authorities go into the bundle: loading them is a cost that a real bundle brings.
  const testing::ScenarioStage stage(sandbox, rows, kLatency,
                                     testing::readFileText("/etc/ssl/certs/ca-certificates.crt"));

  milliseconds longestAlone{0};
  for (const testing::Scenario& scenario : scenarios) {
    longestAlone = std::max(longestAlone, sandbox.run({"--json", scenario.provider}).elapsed);
  }
  double wall = 0, cpu = 0, peak = 0;
  for (auto _ : state) {
    const testing::RunResult result = sandbox.run({"--json"});
    if (result.exitCode != 0) state.SkipWithError("the refresh failed");
    state.SetIterationTime(duration<double>(result.elapsed).count());
    wall += static_cast<double>(result.elapsed.count());
    cpu += duration<double, std::milli>(result.cpu).count();
    peak = std::max(peak, static_cast<double>(result.peakKiB) / 1024.0);
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["providers"] = static_cast<double>(scenarios.size());
  state.counters["longest_alone_ms"] = static_cast<double>(longestAlone.count());
  state.counters["ratio"] = wall / runs / static_cast<double>(std::max<milliseconds::rep>(longestAlone.count(), 1));
  state.counters["cpu_ms"] = cpu / runs;
  state.counters["peak_MiB"] = peak;
  state.SetLabel(https ? "https" : "http");
}
BENCHMARK(BM_WholeRefresh)->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
