#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/provider.hpp"
#include "model/tool_runner.hpp"

namespace dapplewick::testing {

// A scripted tool runner, FakeTransport's counterpart for a service that runs a local tool. Every tool is found in
// the first folder of a search path that is not empty; every run is recorded and answered by the next scripted
// result, or by the handler once none is left, or fails to launch when there is none. A runner built for a provider
// leaves every result it gives as a fuzz seed of that provider (see answer_script.hpp).
class FakeToolRunner final : public ToolRunner {
 public:
  explicit FakeToolRunner(std::optional<Provider> seedsFor = std::nullopt) : seedsFor_(seedsFor) {}

  struct Run {
    std::string binary;
    std::vector<std::string> arguments;
    std::map<std::string, std::string, std::less<>> environment;
    ProcessLimits limits;
  };
  // Returns a result or throws (a ProcessError, to time out or be cancelled).
  using Handler = std::function<ProcessResult(const Run&, std::stop_token)>;

  void respond(ProcessResult result);
  void handleUnscripted(Handler handler);

  std::optional<std::string> find(std::string_view name, std::string_view searchPath) override;
  ProcessResult run(const std::string& binary, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string, std::less<>>& environment, const ProcessLimits& limits,
                    std::stop_token stop) override;

  // Every run so far, in order.
  std::vector<Run> runs() const;

 private:
  const std::optional<Provider> seedsFor_;
  mutable std::mutex mutex_;
  std::deque<ProcessResult> results_;
  Handler unscripted_;
  std::vector<Run> runs_;
};

}  // namespace dapplewick::testing
