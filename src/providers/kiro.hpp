#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "model/usage_data.hpp"
#include "providers/service_context.hpp"

namespace dapplewick {

// Not built yet: every step reports that this build does not read the provider.
class KiroService {
 public:
  explicit KiroService(const ServiceContext& context) : context_(context) {}
  std::optional<std::string> fetchAccountInfo(std::stop_token stop = {});
  std::string runUsageCommand(std::stop_token stop = {});
  UsageData parseUsage(std::string_view report, const std::optional<std::string>& email);

 private:
  ServiceContext context_;
};

}  // namespace dapplewick
