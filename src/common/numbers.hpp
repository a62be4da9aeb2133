#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// ---- Formatting ----

// printf's "%.Nf" without locale: `digits` fraction digits, correctly rounded, except that a result that rounds
// to zero carries no sign ("0.00", where printf writes "-0.00"). Non-finite values give "nan", "inf" or "-inf".
std::string formatFixed(double value, int digits);

// A number as a decimal-style number formatter of the "en_US" locale shows it: the shortest decimal text that
// reads back as `value`, rounded half to even at `maxFractionDigits` on that decimal text (so 12.25 gives "12.2"
// and 0.15 gives "0.2"), trailing fraction zeros dropped, "," between groups of three integer digits when
// `grouping` is set. A result that rounds to zero carries no sign. Non-finite values give nothing.
std::optional<std::string> formatDecimal(double value, int maxFractionDigits, bool grouping = true);

// ---- Numbers from text ----

// One strict decimal grammar: optional sign, digits, optional fraction, optional exponent, the whole text
// consumed, C locale. Hex, "inf", "nan" and overflow are rejected; underflow reads as zero (or the subnormal), as
// strtod reads it.
std::optional<double> parseDecimal(std::string_view text);
// Optional sign and decimal digits only; overflow of 64 bits is rejected.
std::optional<long long> parseInteger(std::string_view text);

// ---- Checked integer arithmetic: nothing on overflow ----

std::optional<long long> checkedAdd(long long a, long long b);
std::optional<long long> checkedSub(long long a, long long b);
std::optional<long long> checkedMul(long long a, long long b);

}  // namespace dapplewick
