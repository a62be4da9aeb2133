#pragma once

#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/process.hpp"

namespace dapplewick {

// How a service finds and runs a tool on the user's machine: the seam beside HTTPTransport, so that a test can
// script what a tool prints instead of writing one.
class ToolRunner {
 public:
  virtual ~ToolRunner() = default;
  // The tool `name` in the folders of `searchPath` (a PATH value), as findExecutable finds it.
  virtual std::optional<std::string> find(std::string_view name, std::string_view searchPath) = 0;
  // One run, as runProcess makes it, with its errors.
  virtual ProcessResult run(const std::string& binary, const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string, std::less<>>& environment,
                            const ProcessLimits& limits, std::stop_token stop) = 0;
};

// The real tools: findExecutable and runProcess.
class ProcessToolRunner final : public ToolRunner {
 public:
  std::optional<std::string> find(std::string_view name, std::string_view searchPath) override;
  ProcessResult run(const std::string& binary, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string, std::less<>>& environment, const ProcessLimits& limits,
                    std::stop_token stop) override;
};

}  // namespace dapplewick
