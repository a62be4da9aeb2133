#pragma once

#include <string>
#include <vector>

#include "model/clock.hpp"
#include "model/usage_data.hpp"

namespace dapplewick {

inline constexpr int kUsageBarWidth = 20;

// "[#########-----------]": the percentage as filled cells of `width`, rounded down.
std::string usageBar(const UsageData& record, int width = kUsageBarWidth);

// The time left until `resetAt`: "resets in 2d 3h", "resets in 3h 12m", "resets in 12m", "resets in under a
// minute", and "reset due" once the instant has passed.
std::string formatCountdown(Timestamp resetAt, Timestamp now);

// A usage figure for reading: whole numbers without a fraction, others with at most two fraction digits
// ("1234.5"), small fractions with three significant digits ("0.00125"). Locale-independent.
std::string formatFigure(double value);

// The cost with its meaning: "cost 12.30", "cost 12.30 today", "cost 12.30 this month", "cost 12.30 in total".
// Empty when the record has no cost, and for a balance record, whose note carries the balance.
std::string formatCost(const UsageData& record);

// Every record as the text form shows it: per provider its name, the usage bar with the figures, the reset
// period and countdown, the cost, the note and the error, and the auxiliary windows beneath, indented.
std::string formatUsageText(const std::vector<UsageData>& records, Timestamp now);

}  // namespace dapplewick
