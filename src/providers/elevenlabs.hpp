#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace elevenlabs {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "elevenlabs";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kSubscriptionPath = "/v1/user/subscription";

// ---- Request ----

HTTPRequest subscriptionRequest(std::string_view origin, std::string_view apiKey);

// ---- The subscription answer, decoded strictly ----

struct Overage {
  std::optional<std::string> amount;
  std::optional<std::string> currency;
};

// Unlisted keys are ignored; a wrong JSON type anywhere fails the whole answer.
struct Subscription {
  std::optional<std::string> tier;
  std::int64_t characterCount = 0;
  std::int64_t characterLimit = 0;
  std::optional<std::int64_t> voiceSlotsUsed;
  std::optional<std::int64_t> professionalVoiceSlotsUsed;
  std::optional<std::int64_t> voiceLimit;
  std::optional<std::int64_t> professionalVoiceLimit;
  std::optional<Overage> currentOverage;
  std::optional<std::int64_t> nextCharacterCountResetUnix;
  std::optional<std::string> status;
};

// Throws DecodingError naming the key path when the body is not the expected record.
Subscription decodeSubscription(std::string_view body);

// ---- Mapping ----

// The character quota, with voice slots and professional voices as auxiliary records, and the plan and overage
// in the note.
UsageData makeUsageData(const Subscription& subscription, Timestamp now);

}  // namespace elevenlabs

// ---- The service ----

// Reads the account's monthly character quota with its API key: one request, one record.
class ElevenLabsService {
 public:
  explicit ElevenLabsService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class ElevenLabsErrorCode { httpError, invalidCredentials, invalidResponse };

class ElevenLabsError : public ServiceErrorOf<ElevenLabsError, ElevenLabsErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"ElevenLabs API error ", "Invalid ElevenLabs API key",
                                            "Unexpected response from ElevenLabs"};
};

}  // namespace dapplewick
