#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dapplewick {

// ---- Credentials ----

// Drops one leading "web:" (tested first) or "api:"; anything else is returned unchanged. Nothing is trimmed.
std::string_view stripKindPrefix(std::string_view credential);

// The usual preparation of a stored credential: one kind prefix dropped, then white space and line breaks trimmed
// from both ends. An empty result means there is no usable credential.
std::string prepareCredential(std::string_view credential);

// ---- White space (Unicode) ----

// Trims the Unicode white-space set, line breaks included (NBSP and ideographic space too), from both ends.
std::string_view trimWhitespace(std::string_view text);
// Trims spaces and tabs (the Unicode horizontal white space, no line breaks) from both ends.
std::string_view trimSpacesAndTabs(std::string_view text);
// True when the code point belongs to the Unicode white-space set.
bool isUnicodeWhitespace(char32_t codePoint);

// ---- ASCII case ----

std::string toLowerASCII(std::string_view text);
// Each word's first character upper case and the rest lower case (ASCII letters only; others kept as they are).
// Words are separated by Unicode white space and line breaks, which are kept.
std::string capitalizeWords(std::string_view text);
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
bool containsIgnoringASCIICase(std::string_view haystack, std::string_view needle);
// Byte offset of the first occurrence of `needle`, ASCII case ignored, or std::string_view::npos.
std::size_t findIgnoringASCIICase(std::string_view haystack, std::string_view needle);
bool startsWith(std::string_view text, std::string_view prefix);

// ---- UTF-8 ----

// Decodes one code point at `pos`, advancing it. An invalid sequence yields U+FFFD and consumes one byte.
char32_t decodeUTF8(std::string_view text, std::size_t& pos);
void appendUTF8(std::string& out, char32_t codePoint);
bool isValidUTF8(std::string_view text);
// Replaces every invalid sequence with U+FFFD (one per offending byte).
std::string repairUTF8(std::string_view text);
// Number of code points (invalid bytes count one each).
std::size_t codePointCount(std::string_view text);
// At most `maxCodePoints` code points, never splitting a UTF-8 sequence.
std::string_view prefixCodePoints(std::string_view text, std::size_t maxCodePoints);

// Server or tool text bound for an error message: at most 200 code points.
inline constexpr std::size_t kMaxErrorTextCodePoints = 200;
std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints = kMaxErrorTextCodePoints);
// A response body bound for an error message, read as UTF-8 text: its excerpt, or nothing at all when the body
// is not valid UTF-8 (a binary body says nothing useful, and repaired bytes would only mislead).
std::string bodyExcerpt(std::string_view body);
// `text` with every occurrence of `secret` replaced by "[redacted]", for server text that may echo a credential
// back. An empty secret leaves the text as it is.
std::string redactSecret(std::string_view text, std::string_view secret);

// ---- Formatting ----

// printf's "%.Nf" without locale: `digits` fraction digits, correctly rounded. Non-finite values give "nan",
// "inf" or "-inf".
std::string formatFixed(double value, int digits);

// A number as a decimal-style number formatter of the "en_US" locale shows it: the shortest decimal text that
// reads back as `value`, rounded half to even at `maxFractionDigits` on that decimal text (so 12.25 gives "12.2"
// and 0.15 gives "0.2"), trailing fraction zeros dropped, "," between groups of three integer digits when
// `grouping` is set. A result that rounds to zero carries no sign. Non-finite values give nothing.
std::optional<std::string> formatDecimal(double value, int maxFractionDigits, bool grouping = true);

// Parts of a note joined with " · " (blank, middle dot, blank); no parts gives nothing.
std::optional<std::string> joinNotes(const std::vector<std::string>& parts);
inline constexpr std::string_view kNoteSeparator = " \u00B7 ";

// ---- Numbers from text ----

// One strict decimal grammar: optional sign, digits, optional fraction, optional exponent, the whole text
// consumed, C locale. Hex, "inf", "nan" and non-finite results are rejected.
std::optional<double> parseDecimal(std::string_view text);
// Optional sign and decimal digits only; overflow of 64 bits is rejected.
std::optional<long long> parseInteger(std::string_view text);

// ---- Checked integer arithmetic: nothing on overflow ----

std::optional<long long> checkedAdd(long long a, long long b);
std::optional<long long> checkedSub(long long a, long long b);
std::optional<long long> checkedMul(long long a, long long b);

// ---- URLs ----

// Percent-encodes everything but the unreserved characters (ALPHA DIGIT "-" "." "_" "~"), for one path segment
// or one query value.
std::string percentEncode(std::string_view text);

}  // namespace dapplewick
