#pragma once

#include <stop_token>
#include <string_view>

#include "model/usage_data.hpp"
#include "providers/service_context.hpp"

namespace dapplewick {

// Not built yet: every fetch reports that this build does not read the provider.
class VertexAIService {
 public:
  explicit VertexAIService(const ServiceContext& context) : context_(context) {}
  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

}  // namespace dapplewick
