#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace synthetic {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "synthetic";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kQuotasPath = "/v2/quotas";

// ---- Requests ----

// Only the key and Accept: the API needs no User-Agent.
HTTPRequest quotasRequest(std::string_view origin, std::string_view key);

// ---- Answer readers ----
//
// The answer's shape is not fixed, so it is walked untyped. An object counts as a quota entry when it holds one of
// the narrow quota keys; the percentage is then computed from a wider set of keys.

// `value` when it is an object holding a recognised quota key, else nothing.
const Json* normalizeEntry(const Json* value);
// The entries of a list (in order), or an entry object alone; anything else gives none.
std::vector<const Json*> collectEntries(const Json* value);
// The first of `keys` the object holds as a finite JSON number or as a text that reads whole as one.
std::optional<double> firstNumber(const Json& object, const std::vector<std::string_view>& keys);
// The entry's used percentage: a used or remaining percentage (fractions up to 1 scaled by 100), else figures of
// limit, used and remaining (capped at 100 from above). Nothing when no finite value results.
std::optional<double> usedPercent(const Json& entry);
// Epoch numbers above 1e12 are milliseconds, above 1e9 seconds, others no date; a text holding a number is that
// number, any other text an internet date-time.
std::optional<Timestamp> readDate(const Json& value);

// ---- Mapping ----

// The rolling five-hour limit, else the weekly token limit, else the first entry of the general container, as one
// percentage record with the plan in its note. Throws SyntheticError::parseFailed.
UsageData readQuotaResponse(std::string_view body, Timestamp now);

}  // namespace synthetic

// ---- Service ----

class SyntheticService {
 public:
  explicit SyntheticService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

// Statuses other than 200, 401 and 403 are an apiError carrying the answer's text, so there is no httpError case:
// each text is written out.
enum class SyntheticErrorCode { apiError, parseFailed, invalidCredentials, invalidResponse };

class SyntheticError : public ServiceErrorOf<SyntheticError, SyntheticErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static SyntheticError apiError(const std::string& message);
  static SyntheticError parseFailed(const std::string& message);
  static SyntheticError invalidCredentials();
  static SyntheticError invalidResponse();
};

}  // namespace dapplewick
