#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace abacus {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "abacus";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kComputePointsPath = "/api/_getOrganizationComputePoints";
inline constexpr std::string_view kBillingInfoPath = "/api/_getBillingInfo";

// ---- Requests ----

// Both carry the browser session cookie of the provider's web application.
HTTPRequest computePointsRequest(std::string_view origin, std::string_view cookie);
HTTPRequest billingInfoRequest(std::string_view origin, std::string_view cookie);

// ---- Answers ----

// The "result" object of a 200 answer's envelope; `url` names the endpoint in the error texts.
Json readEnvelope(std::string_view body, std::string_view url);

struct ComputePoints {
  double total = 0;
  double left = 0;
};

// The two figures of the compute-points result; AbacusError::parseFailed when either is missing.
ComputePoints readComputePoints(const Json& result);
// The reset date of the billing result, when it holds a readable one.
std::optional<Timestamp> readNextBillingDate(const Json& result);

// ---- Mapping ----

// Figures for the note: grouped, at most one fraction digit below 1000 and none from 1000 on, halves to even.
std::string formatCredits(double value);

UsageData makeUsageData(const ComputePoints& points, std::optional<Timestamp> nextBillingDate, Timestamp now);

}  // namespace abacus

// ---- The service ----

// Reads the organisation's compute points (required) and its billing information (only for the reset date) from
// the provider's web application, with the browser session cookie. Stateless between fetches.
class AbacusService {
 public:
  explicit AbacusService(const ServiceContext& context) : context_(context) {}

  // `cookie` is the stored credential without its kind prefix; it is trimmed here.
  UsageData fetchUsage(std::string_view cookie, std::stop_token stop = {});

 private:
  Json fetchResult(const HTTPRequest& request, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class AbacusErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse };

class AbacusError : public ServiceErrorOf<AbacusError, AbacusErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{
      "Abacus AI API error ", "Invalid Abacus AI credential \u2014 please log in and paste your Cookie header",
      "Unexpected response from Abacus AI"};
  static AbacusError parseFailed(const std::string& message);
};

}  // namespace dapplewick
