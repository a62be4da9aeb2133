#include "model/usage_data.hpp"

#include <cmath>

namespace dapplewick {

std::string_view rawValue(ResetPeriod period) {
  switch (period) {
    case ResetPeriod::window: return "5h window";
    case ResetPeriod::daily: return "Daily";
    case ResetPeriod::weekly: return "Weekly";
    case ResetPeriod::monthly: return "Monthly";
  }
  return "Monthly";
}

std::string_view caseName(ResetPeriod period) {
  switch (period) {
    case ResetPeriod::window: return "window";
    case ResetPeriod::daily: return "daily";
    case ResetPeriod::weekly: return "weekly";
    case ResetPeriod::monthly: return "monthly";
  }
  return "monthly";
}

std::string_view caseName(CostSemantic semantic) {
  switch (semantic) {
    case CostSemantic::none: return "none";
    case CostSemantic::incremental: return "incremental";
    case CostSemantic::periodCumulative: return "periodCumulative";
    case CostSemantic::balance: return "balance";
    case CostSemantic::lifetime: return "lifetime";
  }
  return "none";
}

namespace {

// The used/limit ratio, or nothing when it is not a finite positive number.
std::optional<double> usedRatio(double used, double limit) {
  if (!(limit > 0)) return std::nullopt;
  const double ratio = used / limit;
  if (!std::isfinite(ratio) || !(ratio > 0)) return std::nullopt;
  return ratio;
}

// How far below a whole percent a share may lie and still count as that percent. A share worked out in double
// precision (used / limit here, and part / whole x 100 in the services before that) is a few units in the last
// place off: 29 of 100 gives 28.999999999999996, under 1e-13 of a percent below 29, and cutting that down loses a
// whole percent. 1e-7 of a percent (one part in a billion of the allowance) is a million times that noise, yet far
// below any share a provider reports, so 28.99 or 99.99 still cut down.
constexpr double kPercentNoise = 1e-7;

}  // namespace

int UsageData::percentage() const {
  const auto ratio = usedRatio(used, limit);
  if (!ratio) return 0;
  return static_cast<int>(std::floor(std::min(*ratio, 1.0) * 100.0 + kPercentNoise));
}

int UsageData::level() const {
  const auto ratio = usedRatio(used, limit);
  if (!ratio) return 0;
  if (*ratio >= 0.9) return 3;
  if (*ratio >= 0.75) return 2;
  if (*ratio >= 0.5) return 1;
  return 0;
}

int UsageData::remainingPercentage() const { return 100 - percentage(); }

UsageData UsageData::failure(Provider provider, std::string message, std::optional<Timestamp> at) {
  UsageData data = blank(provider);
  data.error = std::move(message);
  data.lastUpdated = at;
  return data;
}

UsageData UsageData::blank(Provider provider) {
  UsageData data;
  data.id = provider;
  data.provider = provider;
  return data;
}

}  // namespace dapplewick
