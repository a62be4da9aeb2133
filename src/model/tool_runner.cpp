#include "model/tool_runner.hpp"

namespace dapplewick {

std::optional<std::string> ProcessToolRunner::find(std::string_view name, std::string_view searchPath) {
  return findExecutable(name, searchPath);
}

ProcessResult ProcessToolRunner::run(const std::string& binary, const std::vector<std::string>& arguments,
                                     const std::map<std::string, std::string, std::less<>>& environment,
                                     const ProcessLimits& limits, std::stop_token stop) {
  return runProcess(binary, arguments, environment, limits, std::move(stop));
}

}  // namespace dapplewick
