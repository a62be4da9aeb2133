#include "providers/groq.hpp"

#include "providers/service_error.hpp"

namespace dapplewick {

UsageData GroqService::fetchUsage(std::string_view, std::stop_token) {
  throw ServiceError("This build does not read this provider yet");
}

}  // namespace dapplewick
