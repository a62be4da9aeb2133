#include "providers/kilo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <utility>
#include <vector>

#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace kilo {
namespace {

constexpr long long kCreditsPosition = 0;
constexpr long long kPassPosition = 1;
// Credit blocks count micro-dollars.
constexpr double kMicroDollarsPerDollar = 1'000'000.0;
// Epoch figures above this are milliseconds, others seconds.
constexpr double kMillisecondsAbove = 10'000'000'000.0;

}  // namespace

// ---- Request ----

HTTPRequest batchRequest(std::string_view origin, std::string_view apiKey) {
  const std::string url =
      withQuery(std::string(origin) + std::string(kBatchPath), {{"batch", "1"}, {"input", std::string(kBatchInput)}});
  return jsonGet(url, bearerHeader(apiKey), kDapplewickUserAgent);
}

// ---- Readers ----

namespace {

// Figures come as numbers or as numeric text, blanks around it allowed.
std::optional<double> readNumber(const Json* value) { return numberOrNumericText(value, NumberTextTrim::whitespace); }

std::optional<Timestamp> readDate(const Json* value) { return lenientDate(value, kMillisecondsAbove); }

template <class Reader>
auto firstReadable(const Json* object, std::initializer_list<std::string_view> keys, Reader read)
    -> decltype(read(nullptr)) {
  for (const std::string_view key : keys) {
    if (auto value = read(member(object, key))) return value;
  }
  return std::nullopt;
}

double atLeastZero(double value) { return value > 0 ? value : 0; }

// Positions of the batch to their result objects. The first of two keys naming one position ("1", "01") wins.
std::map<long long, const Json*> indexResults(const Json& document) {
  std::map<long long, const Json*> results;
  if (document.is_array()) {
    for (const Json& element : document) {
      if (!element.is_object()) throw KiloError::invalidResponse();
    }
    for (std::size_t i = 0; i < document.size() && i < 3; ++i) results.emplace(static_cast<long long>(i), &document[i]);
    return results;
  }
  if (!document.is_object()) throw KiloError::invalidResponse();
  for (const auto& [key, value] : document.items()) {
    const auto position = parseInteger(key);
    if (position && value.is_object()) results.emplace(*position, &value);
  }
  if (results.empty()) throw KiloError::invalidResponse();
  return results;
}

// The tRPC result envelope: result.data.json, result.data, or result.json.
const Json* extractPayload(const Json* result) {
  const Json* envelope = asObject(member(result, "result"));
  if (envelope == nullptr) return nullptr;
  const auto present = [](const Json* value) { return value != nullptr && !value->is_null() ? value : nullptr; };
  if (const Json* data = asObject(member(envelope, "data"))) {
    const Json* json = present(member(data, "json"));
    return json != nullptr ? json : data;
  }
  return present(member(envelope, "json"));
}

Credits parseCredits(const Json* payload) {
  if (asObject(payload) == nullptr) return {};
  const Json* blocks = member(payload, "creditBlocks");
  const bool blocksReadable = blocks != nullptr && blocks->is_array() && !blocks->empty() &&
                              std::all_of(blocks->begin(), blocks->end(), [](const Json& b) { return b.is_object(); });
  if (blocksReadable) {
    double amount = 0;
    double balance = 0;
    bool found = false;
    for (const Json& block : *blocks) {
      if (const auto value = readNumber(member(&block, "amount_mUsd"))) {
        amount += *value;
        found = true;
      }
      if (const auto value = readNumber(member(&block, "balance_mUsd"))) {
        balance += *value;
        found = true;
      }
    }
    if (found) {
      // Sums beyond the double range say nothing true about the account: no credit figures rather than infinite ones.
      if (!std::isfinite(amount) || !std::isfinite(balance)) return {};
      const double total = atLeastZero(amount / kMicroDollarsPerDollar);
      const double remaining = atLeastZero(balance / kMicroDollarsPerDollar);
      return {atLeastZero(total - remaining), total, remaining};
    }
  }
  return {firstReadable(payload, {"used", "creditsUsed"}, readNumber),
          firstReadable(payload, {"total", "totalCredits"}, readNumber),
          firstReadable(payload, {"remaining", "creditsRemaining"}, readNumber)};
}

PassState parsePassState(const Json* payload) {
  if (asObject(payload) == nullptr) return {};
  const Json* subscription = asObject(member(payload, "subscription"));
  const bool currentForm = subscription != nullptr || member(payload, "currentPeriodUsageUsd") != nullptr;
  const Json* record = subscription != nullptr ? subscription : payload;
  if (!currentForm) {
    return {readNumber(member(record, "used")), readNumber(member(record, "total")),
            firstReadable(record, {"resetAt", "resetsAt"}, readDate)};
  }
  PassState pass;
  pass.used = readNumber(member(record, "currentPeriodUsageUsd"));
  const double base = readNumber(member(record, "currentPeriodBaseCreditsUsd")).value_or(0);
  const double bonus = readNumber(member(record, "currentPeriodBonusCreditsUsd")).value_or(0);
  // A bonus without a paid base is no pass; a total beyond the double range is none either.
  if (base > 0 && std::isfinite(base + bonus)) pass.total = base + bonus;
  pass.resetAt = firstReadable(record, {"nextBillingAt", "nextRenewalAt", "renewsAt"}, readDate);
  return pass;
}

}  // namespace

Batch readBatch(std::string_view body) {
  const auto document = parseJsonOrNothing(body);
  if (!document) throw KiloError::invalidResponse();
  const std::map<long long, const Json*> results = indexResults(*document);
  const auto payloadAt = [&results](long long position) -> const Json* {
    const auto it = results.find(position);
    return it == results.end() ? nullptr : extractPayload(it->second);
  };
  return {parseCredits(payloadAt(kCreditsPosition)), parsePassState(payloadAt(kPassPosition))};
}

std::string formatCredits(double value) {
  if (std::trunc(value) != value) return formatFixed(value, 2);
  // Within 64 bits through an integer, so that -0 reads "0"; beyond, the exact whole number.
  if (value > -9223372036854775808.0 && value < 9223372036854775808.0) {
    return std::to_string(static_cast<std::int64_t>(value));
  }
  return formatFixed(value, 0);
}

// ---- Mapping ----

namespace {

struct CreditFigures {
  double used = 0;
  double limit = 0;
  std::optional<std::string> note;
};

CreditFigures creditFigures(const Credits& credits) {
  if (credits.total) {
    const double derived = *credits.total - credits.remaining.value_or(0);
    // A difference beyond the double range leaves the credits unknown, as if the procedure had failed.
    if (!credits.used && !std::isfinite(derived)) return {};
    const double used = atLeastZero(credits.used.value_or(derived));
    const double total = atLeastZero(*credits.total);
    return {used, total, formatCredits(used) + "/" + formatCredits(total) + " credits"};
  }
  if (credits.remaining) return {0, 0, formatCredits(*credits.remaining) + " credits remaining"};
  return {};
}

}  // namespace

UsageData makeUsageData(const Batch& batch, Timestamp now) {
  const CreditFigures figures = creditFigures(batch.credits);
  std::vector<std::string> parts;
  if (figures.note) parts.push_back(*figures.note);
  if (batch.pass.used && batch.pass.total) {
    parts.push_back("$" + formatFixed(*batch.pass.used, 2) + " / $" + formatFixed(*batch.pass.total, 2) + " pass");
  }
  UsageData record = UsageData::blank(Provider::kilo);
  record.used = figures.used;
  record.limit = figures.limit;
  record.costSemantic = CostSemantic::none;
  record.resetAt = batch.pass.resetAt;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = joinNotes(parts);
  return record;
}

}  // namespace kilo

// ---- Service ----

UsageData KiloService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<KiloError>(credential);
  const HTTPRequest request = kilo::batchRequest(context_.origins.get(kilo::kOriginKey), apiKey);
  const std::string body = okBody<KiloError>(context_.transport, request, std::move(stop));
  return kilo::makeUsageData(kilo::readBatch(body), context_.clock.now());
}

}  // namespace dapplewick
