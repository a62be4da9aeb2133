#pragma once

#include <array>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/dates.hpp"
#include "common/service_error.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"
#include "providers/shared/signing.hpp"

namespace dapplewick {
namespace bedrock {

// ---- Constants and origin keys ----

// Cost Explorer answers from us-east-1 alone, whatever region the user works in.
inline constexpr std::string_view kOriginKey = "bedrock";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kSigningRegion = "us-east-1";
inline constexpr std::string_view kSigningService = "ce";
inline constexpr std::string_view kDefaultRegion = "us-east-1";

// ---- Credentials ----

struct ResolvedCredentials {
  AWSCredentials credentials;
  std::string region;  // shown in the note only
};

// "KEY:SECRET", "REGION:KEY:SECRET" or "ANY:REGION:KEY:SECRET" (prefix already dropped), else the AWS_* variables;
// throws BedrockError::missingCredentials when neither gives keys.
ResolvedCredentials resolveCredentials(std::string_view text, const Environment& environment);
// The access key id, the secret access key and the session token that resolveCredentials finds, never the region
// or the profile; the whole text (trimmed, prefix dropped) when it finds none.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);

// ---- Request ----

// From the first day of the UTC month of `today` to the UTC day after it.
struct DateRange {
  CivilDate start;
  CivilDate end;
};
DateRange costExplorerDateRange(Timestamp now);

// The month-to-date unblended cost grouped by service, signed for us-east-1/ce at `now`.
HTTPRequest costRequest(std::string_view origin, const AWSCredentials& credentials, Timestamp now);

// ---- Response reader ----

// The sum of the Bedrock groups' amounts; unreadable groups and amounts are skipped. Throws
// BedrockError::parseFailed without a "ResultsByTime" list of objects, and BedrockError::invalidResponse for a sum
// that is no finite figure.
double readBedrockCost(std::string_view body);

// ---- Mapping ----

// Midnight UTC on the first day of the next month.
Timestamp startOfNextMonth(Timestamp now);
UsageData makeUsageData(double total, std::string_view region, Timestamp now);

}  // namespace bedrock

// ---- Service ----

// The month's AWS Bedrock spend from Cost Explorer, with keys from the credential or the environment.
class BedrockService {
 public:
  explicit BedrockService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

// Every status but 200 is one apiError with the start of the body, so the shared triple does not apply.
enum class BedrockErrorCode { apiError, parseFailed, missingCredentials, invalidResponse };

class BedrockError : public ServiceErrorOf<BedrockError, BedrockErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static BedrockError apiError(const std::string& message);
  static BedrockError parseFailed(const std::string& message);
  static BedrockError missingCredentials();
  static BedrockError invalidResponse();
};

}  // namespace dapplewick
