#include "providers/elevenlabs.hpp"

#include <vector>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::elevenlabs {

// ---- Request ----

HTTPRequest subscriptionRequest(std::string_view origin, std::string_view apiKey) {
  return jsonGet(std::string(origin) + std::string(kSubscriptionPath), {"xi-api-key", std::string(apiKey)},
                 kBrowserUserAgent);
}

// ---- The subscription answer ----

namespace {

Overage decodeOverage(const JsonRef& value) {
  Overage overage;
  overage.amount = value.optional<std::string>("amount");
  overage.currency = value.optional<std::string>("currency");
  return overage;
}

}  // namespace

Subscription decodeSubscription(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef value = JsonRef::root(document);
  Subscription subscription;
  subscription.tier = value.optional<std::string>("tier");
  subscription.characterCount = value.required<std::int64_t>("character_count");
  subscription.characterLimit = value.required<std::int64_t>("character_limit");
  subscription.voiceSlotsUsed = value.optional<std::int64_t>("voice_slots_used");
  subscription.professionalVoiceSlotsUsed = value.optional<std::int64_t>("professional_voice_slots_used");
  subscription.voiceLimit = value.optional<std::int64_t>("voice_limit");
  subscription.professionalVoiceLimit = value.optional<std::int64_t>("professional_voice_limit");
  if (auto overage = value.get("current_overage")) subscription.currentOverage = decodeOverage(*overage);
  subscription.nextCharacterCountResetUnix = value.optional<std::int64_t>("next_character_count_reset_unix");
  subscription.status = value.optional<std::string>("status");
  return subscription;
}

// ---- Mapping ----

namespace {

std::string planPart(const std::string& tier, const std::optional<std::string>& status) {
  std::string tierText = tier;
  for (char& c : tierText) {
    if (c == '_') c = ' ';
  }
  std::string part = "Plan: " + capitalizeWords(tierText);
  // An active plan is the normal case and not worth the room; any other state is shown as the API spells it.
  if (status && !status->empty() && toLowerASCII(*status) != "active") {
    part += kNoteSeparator;
    part += *status;
  }
  return part;
}

// The plan and overage parts joined, or nothing when neither applies.
std::optional<std::string> makeNote(const Subscription& subscription) {
  std::vector<std::string> parts;
  if (subscription.tier) parts.push_back(planPart(*subscription.tier, subscription.status));
  if (subscription.currentOverage && subscription.currentOverage->amount) {
    const std::string overage =
        "Overage: " + *subscription.currentOverage->amount + " " + subscription.currentOverage->currency.value_or("");
    parts.emplace_back(trimSpacesAndTabs(overage));
  }
  return joinNotes(parts);
}

UsageData slotRecord(std::int64_t used, std::int64_t limit, const char* label, Timestamp now) {
  UsageData record = UsageData::blank(Provider::elevenLabs);
  record.used = static_cast<double>(used);
  record.limit = static_cast<double>(limit);
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = label;
  return record;
}

}  // namespace

UsageData makeUsageData(const Subscription& subscription, Timestamp now) {
  UsageData data = UsageData::blank(Provider::elevenLabs);
  data.used = static_cast<double>(subscription.characterCount);
  data.limit = static_cast<double>(subscription.characterLimit);
  data.costSemantic = CostSemantic::none;
  // An instant outside the years 1970–9999 cannot be a reset time (and would overflow milliseconds).
  if (subscription.nextCharacterCountResetUnix) {
    data.resetAt = fromEpochSeconds(static_cast<double>(*subscription.nextCharacterCountResetUnix));
  }
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  data.note = makeNote(subscription);
  if (subscription.voiceSlotsUsed && subscription.voiceLimit && *subscription.voiceLimit >= 1) {
    data.auxiliaryUsage.push_back(
        slotRecord(*subscription.voiceSlotsUsed, *subscription.voiceLimit, "Voice slots", now));
  }
  if (subscription.professionalVoiceSlotsUsed && subscription.professionalVoiceLimit &&
      *subscription.professionalVoiceLimit >= 1) {
    data.auxiliaryUsage.push_back(slotRecord(*subscription.professionalVoiceSlotsUsed,
                                             *subscription.professionalVoiceLimit, "Professional voices", now));
  }
  return data;
}

}  // namespace dapplewick::elevenlabs

namespace dapplewick {

// ---- The service ----

UsageData ElevenLabsService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<ElevenLabsError>(credential);

  const Timestamp now = context_.clock.now();
  const HTTPRequest request = elevenlabs::subscriptionRequest(context_.origins.get(elevenlabs::kOriginKey), apiKey);
  const std::string body = okBody<ElevenLabsError>(context_.transport, request, std::move(stop));
  return elevenlabs::makeUsageData(elevenlabs::decodeSubscription(body), now);
}

}  // namespace dapplewick
