#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace kimi {

// ---- Constants and origin keys ----

// The web application's origin serves the billing gateway and is also the Origin the gateway expects.
inline constexpr std::string_view kOriginKey = "kimi";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kUsagesPath = "/apiv2/kimi.gateway.billing.v1.BillingService/GetUsages";
inline constexpr std::string_view kCodingScope = "FEATURE_CODING";

// ---- Request ----

// The identity claims of a session token, each sent as a header of its own when present.
struct TokenClaims {
  std::optional<std::string> deviceID;   // "device_id"
  std::optional<std::string> sessionID;  // "ssid"
  std::optional<std::string> subject;    // "sub"
  bool operator==(const TokenClaims&) const = default;
};

// The token read as a JSON Web Token: its middle piece base64url-decoded as a JSON object, string claims only.
// Nothing when the token is not of that form.
std::optional<TokenClaims> decodeTokenClaims(std::string_view token);

// The gateway is told the IANA name of the current zone, from TZ in `environment` or the system's setting.
HTTPRequest usagesRequest(std::string_view origin, std::string_view token, const Environment& environment);

// ---- The usages answer, decoded strictly ----

// Every figure travels as text.
struct UsageDetail {
  std::string limit;
  std::optional<std::string> used;
  std::optional<std::string> remaining;
  std::optional<std::string> resetTime;
  bool operator==(const UsageDetail&) const = default;
};

struct Usage {
  std::string scope;
  UsageDetail detail;
  std::vector<UsageDetail> limits;  // the detail of each rate-limit window
  bool operator==(const Usage&) const = default;
};

// Throws DecodingError naming the key path; a figure sent as a JSON number fails too.
std::vector<Usage> decodeUsages(std::string_view body);

// A detail's whole-number figures: the used count, else limit minus remaining, never below 0.
struct Figures {
  std::int64_t used = 0;
  std::int64_t limit = 0;
  double percentage = 0;  // 0 without a limit of at least 1
  bool operator==(const Figures&) const = default;
};
Figures figuresOf(const UsageDetail& detail);

// ---- Mapping ----

// The first coding entry as the weekly record, its first rate-limit window as the only auxiliary record. Throws
// KimiError::parseFailed when there is no coding entry.
UsageData makeUsageData(const std::vector<Usage>& usages, Timestamp now);

}  // namespace kimi

// ---- Service ----

// The share of the week's coding requests a Kimi account has used. The credential arrives with its kind prefix
// dropped and is sent exactly as it arrives.
class KimiService {
 public:
  explicit KimiService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class KimiErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse };

class KimiError : public ServiceErrorOf<KimiError, KimiErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Kimi API error ", "Invalid Kimi credential",
                                            "Unexpected response from Kimi"};
  static KimiError parseFailed(const std::string& message);
};

}  // namespace dapplewick
