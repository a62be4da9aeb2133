#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "common/json_read.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {

enum class AbacusErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse };

class AbacusError : public ServiceErrorOf<AbacusError, AbacusErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Abacus AI API error ", "Invalid Abacus AI credential \u2014 please log in and paste your Cookie header",
                                            "Unexpected response from Abacus AI"};
  static AbacusError parseFailed(const std::string& message);
};

// Reads the organisation's compute points (required) and its billing information (only for the reset date) from
// the provider's web application, with the browser session cookie. Stateless between fetches.
class AbacusService {
 public:
  explicit AbacusService(const ServiceContext& context) : context_(context) {}
  // `cookie` is the stored credential without its kind prefix; it is trimmed here.
  UsageData fetchUsage(std::string_view cookie, std::stop_token stop = {});

 private:
  Json fetchResult(const std::string& url, const std::string& method, const std::string& cookie,
                   std::stop_token stop) const;

  ServiceContext context_;
};

namespace abacus {

inline constexpr std::string_view kComputePointsPath = "/api/_getOrganizationComputePoints";
inline constexpr std::string_view kBillingInfoPath = "/api/_getBillingInfo";

HTTPRequest buildRequest(const std::string& url, const std::string& method, const std::string& cookie);

// The "result" object of a 200 answer's envelope; `url` names the endpoint in the error texts.
Json readEnvelope(std::string_view body, std::string_view url);

// The record from the compute-points result and the billing result (an empty object when billing failed).
UsageData makeUsage(const Json& computePoints, const Json& billing, Timestamp now);

// Figures for the note: grouped, at most one fraction digit below 1000 and none from 1000 on, halves to even.
std::string formatCredits(double value);

}  // namespace abacus

}  // namespace dapplewick
