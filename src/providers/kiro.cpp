#include "providers/kiro.hpp"

#include "providers/service_error.hpp"

namespace dapplewick {

std::optional<std::string> KiroService::fetchAccountInfo(std::stop_token) {
  throw ServiceError("This build does not read this provider yet");
}

std::string KiroService::runUsageCommand(std::stop_token) {
  throw ServiceError("This build does not read this provider yet");
}

UsageData KiroService::parseUsage(std::string_view, const std::optional<std::string>&) {
  throw ServiceError("This build does not read this provider yet");
}

}  // namespace dapplewick
