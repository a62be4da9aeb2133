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
namespace kimi_k2 {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "kimik2";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCreditsPath = "/api/user/credits";
inline constexpr std::string_view kRemainingHeader = "x-credits-remaining";

// ---- Request ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view apiKey);

// ---- The credits answer, searched leniently ----

// Member names walked from an object, outermost first.
using KeyPath = std::vector<std::string_view>;

// The answer's shape is not fixed: the objects to search, in order, are the root, "data" and its "usage" and
// "credits", "result" and its "usage" and "credits", then the root's "usage" and "credits".
std::vector<const Json*> candidateObjects(const Json& root);
// The value at `path` in the first candidate where every step of it exists, whatever its type (null included).
const Json* valueAtPath(const KeyPath& path, const std::vector<const Json*>& candidates);
// For each path in order, the value it finds, if that reads as a number. An unreadable hit ends that path's
// search: later candidates are not tried for it.
std::optional<double> firstNumber(const std::vector<KeyPath>& paths, const std::vector<const Json*>& candidates);
// The same for dates: epoch numbers above 1e12 are milliseconds, above 1e9 seconds, smaller ones no date; texts are
// internet date-times.
std::optional<Timestamp> firstDate(const std::vector<KeyPath>& paths, const std::vector<const Json*>& candidates);

struct Credits {
  double consumed = 0;
  double remaining = 0;
  std::optional<Timestamp> updatedAt;
  bool operator==(const Credits&) const = default;
};

// A 200 answer and its headers. Throws KimiK2Error::parseFailed when the body is not a JSON object.
Credits readCredits(std::string_view body, const HTTPHeaders& headers);

// ---- Mapping ----

UsageData makeUsageData(const Credits& credits, Timestamp now);

}  // namespace kimi_k2

// ---- Service ----

// The credits consumed and left on a Kimi K2 account.
class KimiK2Service {
 public:
  explicit KimiK2Service(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

// Every status but 200 is one apiError carrying the server's words, so the shared triple of ServiceErrorOf does not
// apply: each text is written out.
enum class KimiK2ErrorCode { apiError, parseFailed, missingCredentials, invalidResponse };

class KimiK2Error : public ServiceErrorOf<KimiK2Error, KimiK2ErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static KimiK2Error apiError(const std::string& message);
  static KimiK2Error parseFailed(const std::string& message);
  static KimiK2Error missingCredentials();
  static KimiK2Error invalidResponse();
};

}  // namespace dapplewick
