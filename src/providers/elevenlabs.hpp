#pragma once

#include <cstdint>
#include <optional>
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

enum class ElevenLabsErrorCode { httpError, invalidCredentials, invalidResponse };

class ElevenLabsError : public ServiceErrorOf<ElevenLabsError, ElevenLabsErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"ElevenLabs API error ", "Invalid ElevenLabs API key",
                                            "Unexpected response from ElevenLabs"};
};

struct ElevenLabsOverage {
  std::optional<std::string> amount;
  std::optional<std::string> currency;

  static ElevenLabsOverage decode(const JsonRef& value);
};

// The subscription answer. Unlisted keys are ignored; a wrong JSON type anywhere fails the whole answer.
struct ElevenLabsSubscriptionResponse {
  std::optional<std::string> tier;
  std::int64_t characterCount = 0;
  std::int64_t characterLimit = 0;
  std::optional<std::int64_t> voiceSlotsUsed;
  std::optional<std::int64_t> professionalVoiceSlotsUsed;
  std::optional<std::int64_t> voiceLimit;
  std::optional<std::int64_t> professionalVoiceLimit;
  std::optional<ElevenLabsOverage> currentOverage;
  std::optional<std::int64_t> nextCharacterCountResetUnix;
  std::optional<std::string> status;

  static ElevenLabsSubscriptionResponse decode(const JsonRef& value);
};

// Reads the account's monthly character quota with its API key: one request, one record, with voice slots and
// professional voices as auxiliary records.
class ElevenLabsService {
 public:
  explicit ElevenLabsService(const ServiceContext& context) : context_(context) {}
  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

namespace elevenlabs {

inline constexpr std::string_view kSubscriptionPath = "/v1/user/subscription";

HTTPRequest buildRequest(const std::string& origin, const std::string& key);

// Throws DecodingError naming the key path when the body is not the expected record.
ElevenLabsSubscriptionResponse decodeSubscription(std::string_view body);

// The plan and overage parts joined, or nothing when neither applies.
std::optional<std::string> makeNote(const ElevenLabsSubscriptionResponse& subscription);

UsageData makeUsage(const ElevenLabsSubscriptionResponse& subscription, Timestamp now);

}  // namespace elevenlabs

}  // namespace dapplewick
