#include "common/numbers.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace dapplewick {

std::string formatFixed(double value, int digits) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::array<char, 400> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, digits);
  if (result.ec != std::errc()) return "nan";
  std::string text(buffer.data(), result.ptr);
  // "-0.00" says nothing that "0.00" does not, and reads as a debt where a balance is shown.
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

namespace {

// Adds one to a string of decimal digits.
void incrementDigits(std::string& digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  digits.insert(digits.begin(), '1');
}

std::string groupThousands(std::string_view digits) {
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace

std::optional<std::string> formatDecimal(double value, int maxFractionDigits, bool grouping) {
  if (!std::isfinite(value)) return std::nullopt;
  const auto fractionDigits = static_cast<std::size_t>(std::clamp(maxFractionDigits, 0, 40));

  // The shortest text that reads back as the value, as "d.ddde±xx". Rounding works on these decimal digits, not
  // on the binary value, so a value written as 0.15 rounds like the decimal 0.15 does.
  std::array<char, 64> buffer{};
  const auto written =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value), std::chars_format::scientific);
  if (written.ec != std::errc()) return std::nullopt;
  const std::string_view scientific(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
  const std::size_t e = scientific.find('e');
  if (e == std::string_view::npos) return std::nullopt;
  std::string digits;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exponentText = scientific.substr(e + 1);
  const bool negativeExponent = !exponentText.empty() && exponentText.front() == '-';
  if (!exponentText.empty() && (exponentText.front() == '+' || exponentText.front() == '-')) {
    exponentText.remove_prefix(1);
  }
  long exponent = 0;
  std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
  if (negativeExponent) exponent = -exponent;

  // `scaled` becomes the value times 10^fractionDigits, rounded half to even, as decimal digits.
  const long keep = exponent + 1 + static_cast<long>(fractionDigits);
  std::string scaled;
  if (keep >= 0) {
    const auto kept = static_cast<std::size_t>(keep);
    scaled = digits.substr(0, std::min(kept, digits.size()));
    if (kept > digits.size()) scaled.append(kept - digits.size(), '0');
    if (kept < digits.size()) {
      const char next = digits[kept];
      const bool beyondHalf = digits.find_first_not_of('0', kept + 1) != std::string::npos;
      const bool lastOdd = !scaled.empty() && (scaled.back() - '0') % 2 == 1;
      if (next > '5' || (next == '5' && (beyondHalf || lastOdd))) {
        if (scaled.empty()) scaled.push_back('0');
        incrementDigits(scaled);
      }
    }
  }
  if (scaled.size() <= fractionDigits) scaled.insert(0, fractionDigits + 1 - scaled.size(), '0');

  std::string integerPart = scaled.substr(0, scaled.size() - fractionDigits);
  std::string fractionPart = scaled.substr(scaled.size() - fractionDigits);
  integerPart.erase(0, std::min(integerPart.find_first_not_of('0'), integerPart.size() - 1));
  fractionPart.erase(fractionPart.find_last_not_of('0') + 1);
  const bool isZero = integerPart == "0" && fractionPart.empty();

  std::string text;
  if (value < 0 && !isZero) text.push_back('-');
  text += grouping ? groupThousands(integerPart) : integerPart;
  if (!fractionPart.empty()) text += "." + fractionPart;
  return text;
}

namespace {

// Whether a number of the decimal grammar, without its sign, lies below one in magnitude: its leading non-zero
// digit stands at a negative decimal position once the exponent is applied. The exponent saturates, since only
// its sign against the digits' position matters.
bool isBelowOne(std::string_view number) {
  long long position = 0;  // of the leading non-zero digit, before the exponent
  bool seen = false;
  bool inFraction = false;
  std::size_t i = 0;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    const char c = number[i];
    if (c == '.') {
      inFraction = true;
    } else if (!seen && c != '0') {
      seen = true;
      if (inFraction) --position;
    } else if (seen && !inFraction) {
      ++position;
    } else if (!seen && inFraction) {
      --position;
    }
  }
  if (!seen) return true;
  long long exponent = 0;
  bool negative = false;
  if (i < number.size()) {
    ++i;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
    for (; i < number.size(); ++i) exponent = std::min(exponent * 10 + (number[i] - '0'), 1'000'000'000LL);
  }
  return position + (negative ? -exponent : exponent) < 0;
}

}  // namespace

std::optional<double> parseDecimal(std::string_view text) {
  // Checks the grammar first so from_chars never sees hex, "inf", "nan" or a leading "+".
  std::size_t i = 0;
  const std::size_t n = text.size();
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t numberStart = i;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i - start;
  };
  std::size_t mantissaDigits = digits();
  if (i < n && text[i] == '.') {
    ++i;
    mantissaDigits += digits();
  }
  if (mantissaDigits == 0) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;
  double value = 0;
  const auto result = std::from_chars(text.data() + numberStart, text.data() + n, value);
  if (result.ptr != text.data() + n) return std::nullopt;
  if (result.ec == std::errc::result_out_of_range) {
    // Underflow reads as zero, as strtod reads it; overflow is no usable figure.
    if (!isBelowOne(text.substr(numberStart))) return std::nullopt;
    value = 0;
  } else if (result.ec != std::errc()) {
    return std::nullopt;
  }
  if (!std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

std::optional<long long> parseInteger(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  long long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const auto scaled = checkedMul(value, 10);
    if (!scaled) return std::nullopt;
    const auto next = negative ? checkedSub(*scaled, c - '0') : checkedAdd(*scaled, c - '0');
    if (!next) return std::nullopt;
    value = *next;
  }
  return value;
}

std::optional<long long> checkedAdd(long long a, long long b) {
  long long r = 0;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<long long> checkedSub(long long a, long long b) {
  long long r = 0;
  if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<long long> checkedMul(long long a, long long b) {
  long long r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

}  // namespace dapplewick
