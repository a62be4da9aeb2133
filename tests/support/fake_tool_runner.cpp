#include "support/fake_tool_runner.hpp"

#include <cerrno>

#include "support/answer_script.hpp"

namespace dapplewick::testing {

void FakeToolRunner::respond(ProcessResult result) {
  const std::lock_guard lock(mutex_);
  results_.push_back(std::move(result));
}

void FakeToolRunner::handleUnscripted(Handler handler) {
  const std::lock_guard lock(mutex_);
  unscripted_ = std::move(handler);
}

std::optional<std::string> FakeToolRunner::find(std::string_view name, std::string_view searchPath) {
  if (searchPath.empty()) return std::nullopt;
  return std::string(searchPath.substr(0, searchPath.find(':'))) + "/" + std::string(name);
}

ProcessResult FakeToolRunner::run(const std::string& binary, const std::vector<std::string>& arguments,
                                  const std::map<std::string, std::string, std::less<>>& environment,
                                  const ProcessLimits& limits, std::stop_token stop) {
  const Run run{binary, arguments, environment, limits};
  std::optional<ProcessResult> scripted;
  Handler handler;
  {
    const std::lock_guard lock(mutex_);
    runs_.push_back(run);
    if (!results_.empty()) {
      scripted = std::move(results_.front());
      results_.pop_front();
    }
    handler = unscripted_;
  }
  if (!scripted && !handler) throw ProcessError::launchFailed(binary, ENOENT);
  ProcessResult result = scripted ? std::move(*scripted) : handler(run, std::move(stop));
  if (seedsFor_) recordSeedAnswer(*seedsFor_, answerOfToolResult(result));
  return result;
}

std::vector<FakeToolRunner::Run> FakeToolRunner::runs() const {
  const std::lock_guard lock(mutex_);
  return runs_;
}

}  // namespace dapplewick::testing
