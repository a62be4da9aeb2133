#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace ollama {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "ollama";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kSettingsPath = "/settings";

// ---- Requests ----

// The account settings page, as a browser signed in with `cookie` asks for it.
HTTPRequest settingsRequest(std::string_view origin, std::string_view cookie);

// ---- Page readers ----

// One usage bar of the settings page: the percentage as shown (not clamped) and its reset time.
struct UsageBlock {
  double usedPercent = 0;
  std::optional<Timestamp> resetsAt;
  bool operator==(const UsageBlock&) const = default;
};

// The page a signed-out session is sent to instead: a form with sign-in markers (ASCII case ignored).
bool isSignInPage(std::string_view html);
// The text shown beside the "Cloud Usage" label, trimmed; nothing when absent or blank.
std::optional<std::string> readCloudUsageText(std::string_view html);
// The first label of `labels` whose section yields a percentage. A section runs from the label's first occurrence
// to the earliest other section label, and is never longer than 4000 code points.
std::optional<UsageBlock> findUsageBlock(const std::vector<std::string_view>& labels, std::string_view html);
std::optional<double> readUsedPercent(std::string_view section);
std::optional<Timestamp> readResetDate(std::string_view section);

// ---- Mapping ----

// The session (or hourly) window as the record, the weekly window as its one auxiliary record. `origin` names
// the page in the parse failure. Throws OllamaError::notLoggedIn or parseFailed.
UsageData readUsage(std::string_view html, std::string_view origin, Timestamp now);

}  // namespace ollama

// ---- Service ----

// Scrapes the Ollama website's settings page with the browser session cookie: there is no JSON interface.
class OllamaService {
 public:
  explicit OllamaService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class OllamaErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse, notLoggedIn };

class OllamaError : public ServiceErrorOf<OllamaError, OllamaErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Ollama HTTP error ",
                                            "Ollama session cookie expired \u2014 please sign in again",
                                            "Unexpected response from Ollama"};
  static OllamaError parseFailed(const std::string& message);
  static OllamaError notLoggedIn();
};

}  // namespace dapplewick
