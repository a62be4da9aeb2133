#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace openrouter {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "openrouter";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCreditsPath = "/api/v1/credits";
inline constexpr std::string_view kKeyPath = "/api/v1/key";
// The key's own limit only refines the record, so a slow key endpoint may hold a refresh up for a second at most.
inline constexpr std::chrono::milliseconds kKeyTimeout{1'000};

// ---- Requests ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view key);
HTTPRequest keyRequest(std::string_view origin, std::string_view key);

// ---- Response records and readers ----

// The account's totals in US dollars.
struct Credits {
  double totalCredits = 0;
  double totalUsage = 0;
};

// The key's own spending limit, every field optional.
struct KeyInfo {
  std::optional<double> limit;
  std::optional<double> usage;
  std::optional<double> limitRemaining;
  std::optional<std::string> limitReset;
};

// Both decode strictly (a number sent as text fails): a body that does not decode throws DecodingError.
Credits readCredits(std::string_view body);
KeyInfo readKeyInfo(std::string_view body);

// An internet date-time (with a fraction, then without) or a decimal number of epoch seconds; nothing otherwise.
std::optional<Timestamp> readResetDate(std::string_view text);

// ---- Mapping ----

// The key's quota as a percentage when the key has a positive limit, else the account's lifetime spend against
// its balance. Both carry the lifetime spend as `cost`. A balance that is no finite figure throws
// OpenRouterError::invalidResponse.
UsageData makeUsageData(const Credits& credits, const std::optional<KeyInfo>& key, Timestamp now);

}  // namespace openrouter

// ---- Service ----

// The account's credit totals (required), then the key's own limit (best effort, never an error).
class OpenRouterService {
 public:
  explicit OpenRouterService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  std::optional<openrouter::KeyInfo> fetchKeyInfo(const std::string& origin, const std::string& key,
                                                  std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class OpenRouterErrorCode { httpError, invalidCredentials, invalidResponse };

class OpenRouterError : public ServiceErrorOf<OpenRouterError, OpenRouterErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"OpenRouter API error ", "Invalid OpenRouter API key",
                                            "Unexpected response from OpenRouter"};
};

}  // namespace dapplewick
