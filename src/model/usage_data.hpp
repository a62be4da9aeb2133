#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/clock.hpp"
#include "model/provider.hpp"

namespace dapplewick {

enum class ResetPeriod { window, daily, weekly, monthly };

// The period's raw value, shown beside a record: "5h window", "Daily", "Weekly", "Monthly".
std::string_view rawValue(ResetPeriod period);
std::string_view caseName(ResetPeriod period);

// How UsageData::cost is to be read.
enum class CostSemantic { none, incremental, periodCumulative, balance, lifetime };

std::string_view caseName(CostSemantic semantic);

// The one result record of every fetch. Construction validates and clamps nothing.
struct UsageData {
  Provider id = Provider::codex;
  Provider provider = Provider::codex;
  double used = 0;
  double limit = 0;
  double cost = 0;
  CostSemantic costSemantic = CostSemantic::none;
  std::optional<Timestamp> resetAt = {};
  ResetPeriod resetPeriod = ResetPeriod::monthly;
  std::optional<Timestamp> lastUpdated = {};
  std::optional<std::string> error = {};
  std::optional<std::string> note = {};
  bool isLoading = false;
  std::vector<UsageData> auxiliaryUsage = {};

  // used / limit capped at 1, times 100, truncated, where a share below a whole percent by rounding noise alone
  // counts as that percent; 0 unless limit is positive and the ratio finite and positive.
  int percentage() const;
  // 0 to 3 with breaks at the ratios 0.5, 0.75 and 0.9; a ratio above 1 is 3.
  int level() const;
  // 100 minus the percentage.
  int remainingPercentage() const;

  // A record for `provider` that carries only an error text.
  static UsageData failure(Provider provider, std::string message, std::optional<Timestamp> at);
  // A record stamped with `provider` as id and provider, every other field at its default.
  static UsageData blank(Provider provider);

  bool operator==(const UsageData&) const = default;
};

}  // namespace dapplewick
