#include "providers/antigravity.hpp"

#include <algorithm>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "providers/shared/credential.hpp"

namespace dapplewick {
namespace antigravity {

// ---- Requests ----

HTTPRequest quotaRequest(std::string_view origin, std::string_view path, std::string_view token) {
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(path);
  // The service answers without being told what to accept.
  request.headers.add("Authorization", "Bearer " + std::string(token));
  request.headers.add("Content-Type", "application/json");
  request.headers.add("User-Agent", "antigravity");
  request.body = "{}";
  return request;
}

// ---- Readers ----

namespace {

// The quota figures stand in "quotaInfo" for a model, in the bucket itself for the fallback.
Quota quotaFrom(const Json& figures, std::string label, std::string modelId) {
  Quota quota{std::move(label), std::move(modelId), numberValue(member(&figures, "remainingFraction")), {}};
  if (const Json* reset = member(&figures, "resetTime"); reset != nullptr && reset->is_string()) {
    quota.resetTime = parseInternetDate(reset->get_ref<const std::string&>());
  }
  return quota;
}

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
  const Json* value = member(&object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

std::vector<Quota> readAvailableModels(const Json& answer) {
  std::vector<Quota> quotas;
  const Json* models = asObject(member(&answer, "models"));
  if (models == nullptr) {
    const auto code = integerValue(member(&answer, "code"));
    if (code && *code != 0) throw AntigravityError::apiError("gRPC code " + std::to_string(*code));
    return quotas;
  }
  for (const auto& [modelId, record] : models->items()) {
    const Json* info = asObject(member(&record, "quotaInfo"));
    if (info == nullptr) continue;
    auto label = stringMember(record, "displayName");
    if (!label) label = stringMember(record, "label");
    quotas.push_back(quotaFrom(*info, label.value_or(modelId), modelId));
  }
  return quotas;
}

std::vector<Quota> readUserQuota(const Json& answer) {
  std::vector<Quota> quotas;
  const Json* buckets = member(&answer, "buckets");
  if (buckets == nullptr || !buckets->is_array()) return quotas;
  for (const Json& bucket : *buckets) {
    const auto modelId = bucket.is_object() ? stringMember(bucket, "modelId") : std::nullopt;
    if (modelId) quotas.push_back(quotaFrom(bucket, *modelId, *modelId));
  }
  return quotas;
}

// ---- Mapping ----

UsageData makeUsageData(const std::vector<Quota>& quotas, Timestamp now) {
  UsageData record = UsageData::blank(Provider::antigravity);
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  if (quotas.empty()) {
    record.note = "No quota models returned from Antigravity API.";
    return record;
  }
  const Quota* selected = &quotas.front();
  for (const Quota& quota : quotas) {
    if (quota.remainingFraction.value_or(1) < selected->remainingFraction.value_or(1)) selected = &quota;
  }
  const auto fraction = selected->remainingFraction;
  record.used = fraction ? 100 - std::clamp(*fraction * 100, 0.0, 100.0) : 0;
  record.limit = 100;
  record.resetAt = selected->resetTime;
  record.lastUpdated = now;
  std::string note = "Models: ";
  for (std::size_t i = 0; i < quotas.size() && i < 3; ++i) note += (i == 0 ? "" : ", ") + quotas[i].label;
  record.note = std::move(note);
  return record;
}

}  // namespace antigravity

// ---- Service ----

UsageData AntigravityService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string token = requireCredential<AntigravityError>(credential);
  const Timestamp now = context_.clock.now();
  std::vector<antigravity::Quota> quotas;
  try {
    quotas = antigravity::readAvailableModels(post(antigravity::kAvailableModelsPath, token, stop));
  } catch (const AntigravityError& error) {
    // A token without access to the model list may still read its own quota.
    if (error.code() != AntigravityErrorCode::permissionDenied) throw;
    quotas = antigravity::readUserQuota(post(antigravity::kUserQuotaPath, token, stop));
  }
  return antigravity::makeUsageData(quotas, now);
}

Json AntigravityService::post(std::string_view path, const std::string& token, const std::stop_token& stop) const {
  throwIfCancelled(stop);
  const HTTPResponse response = context_.transport.data(
      antigravity::quotaRequest(context_.origins.get(antigravity::kOriginKey), path, token), stop);
  if (!response.isHTTP) throw AntigravityError::invalidResponse();
  // 403 is no bad token here: it is what leads to the fallback path.
  if (response.status == 403) throw AntigravityError::permissionDenied();
  if (response.status == 401) throw AntigravityError::invalidCredentials();
  if (response.status != 200) throw AntigravityError::httpError(response.status);
  auto answer = parseJsonOrNothing(response.body);
  if (!answer || !answer->is_object()) throw AntigravityError::parseFailed("Invalid JSON response");
  return std::move(*answer);
}

// ---- Errors ----

AntigravityError AntigravityError::parseFailed(const std::string& message) {
  return AntigravityError(AntigravityErrorCode::parseFailed, "Antigravity parse error: ", message);
}

AntigravityError AntigravityError::apiError(const std::string& message) {
  return AntigravityError(AntigravityErrorCode::apiError, "Antigravity API error: ", message);
}

AntigravityError AntigravityError::permissionDenied() {
  return AntigravityError(AntigravityErrorCode::permissionDenied,
                          "Antigravity API permission denied. Check IAM permissions.");
}

}  // namespace dapplewick
