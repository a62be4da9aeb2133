#include "providers/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace dapplewick {

std::string_view stripKindPrefix(std::string_view credential) {
  if (startsWith(credential, "web:") || startsWith(credential, "api:")) return credential.substr(4);
  return credential;
}

std::string prepareCredential(std::string_view credential) {
  return std::string(trimWhitespace(stripKindPrefix(credential)));
}

bool isUnicodeWhitespace(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

namespace {

bool isLineBreak(char32_t c) {
  return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Length in bytes of the code point that ends at `end` (exclusive), or 0 when none is well formed there.
std::size_t lastCodePointLength(std::string_view text, std::size_t end) {
  for (std::size_t len = 1; len <= 4 && len <= end; ++len) {
    std::size_t pos = end - len;
    const auto byte = static_cast<unsigned char>(text[pos]);
    if ((byte & 0xC0) == 0x80) continue;
    std::size_t probe = pos;
    decodeUTF8(text, probe);
    return probe == end ? len : 1;
  }
  return 1;
}

template <class Pred>
std::string_view trimIf(std::string_view text, Pred pred) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    const char32_t c = decodeUTF8(text, next);
    if (!pred(c)) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t len = lastCodePointLength(text, end);
    std::size_t probe = end - len;
    const char32_t c = decodeUTF8(text, probe);
    if (!pred(c)) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) { return trimIf(text, isUnicodeWhitespace); }

std::string_view trimSpacesAndTabs(std::string_view text) {
  return trimIf(text, [](char32_t c) { return isUnicodeWhitespace(c) && !isLineBreak(c); });
}

namespace {
char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upperASCII(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string toLowerASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerASCII(c);
  return out;
}

std::string capitalizeWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool atWordStart = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = decodeUTF8(text, pos);
    if (isUnicodeWhitespace(c)) {
      atWordStart = true;
    } else if (c < 0x80) {
      const char ch = static_cast<char>(c);
      out.push_back(atWordStart ? upperASCII(ch) : lowerASCII(ch));
      atWordStart = false;
      continue;
    } else {
      atWordStart = false;
    }
    out.append(text.substr(start, pos - start));
  }
  return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
  }
  return true;
}

bool containsIgnoringASCIICase(std::string_view haystack, std::string_view needle) {
  return findIgnoringASCIICase(haystack, needle) != std::string_view::npos;
}

std::size_t findIgnoringASCIICase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (equalsIgnoringASCIICase(haystack.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

char32_t decodeUTF8(std::string_view text, std::size_t& pos) {
  constexpr char32_t kReplacement = 0xFFFD;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return cp;
}

void appendUTF8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool isValidUTF8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = decodeUTF8(text, pos);
    if (cp == 0xFFFD && pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80) return false;
  }
  return true;
}

std::string repairUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) appendUTF8(out, decodeUTF8(text, pos));
  return out;
}

std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    decodeUTF8(text, pos);
    ++count;
  }
  return count;
}

std::string_view prefixCodePoints(std::string_view text, std::size_t maxCodePoints) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < maxCodePoints && pos < text.size(); ++n) decodeUTF8(text, pos);
  return text.substr(0, pos);
}

std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints) {
  return repairUTF8(prefixCodePoints(text, maxCodePoints));
}

std::string redactSecret(std::string_view text, std::string_view secret) {
  if (secret.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(secret); hit != std::string_view::npos; hit = text.find(secret, pos)) {
    out.append(text.substr(pos, hit - pos));
    out += "[redacted]";
    pos = hit + secret.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string bodyExcerpt(std::string_view body) { return isValidUTF8(body) ? errorExcerpt(body) : std::string(); }

std::string formatFixed(double value, int digits) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::array<char, 400> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, digits);
  if (result.ec != std::errc()) return "nan";
  return std::string(buffer.data(), result.ptr);
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

std::optional<std::string> joinNotes(const std::vector<std::string>& parts) {
  if (parts.empty()) return std::nullopt;
  std::string note;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) note += kNoteSeparator;
    note += parts[i];
  }
  return note;
}

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
  // Out of range (overflow, or underflow below the smallest double) is not a usable figure.
  if (result.ec != std::errc()) return std::nullopt;
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

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

}  // namespace dapplewick
