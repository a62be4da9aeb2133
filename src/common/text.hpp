#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dapplewick {

// ---- White space (Unicode) ----

// Trims the Unicode white-space set, line breaks included (NBSP and ideographic space too), from both ends.
std::string_view trimWhitespace(std::string_view text);
// Trims spaces and tabs (the Unicode horizontal white space, no line breaks) from both ends.
std::string_view trimSpacesAndTabs(std::string_view text);
// Whether `text` holds any of `needles` anywhere.
bool containsAny(std::string_view text, std::initializer_list<std::string_view> needles);
// The lines of `text`, split at every Unicode line end (LF, VT, FF, CR, NEL, U+2028, U+2029; CRLF ends a line
// and leaves an empty one, which is dropped like every empty line).
std::vector<std::string_view> splitLines(std::string_view text);
// Each byte as two lower-case hex digits.
std::string hexLower(std::string_view bytes);
// The value of one hexadecimal digit, either case; -1 for any other character.
int hexDigitValue(char c);
// True when the code point belongs to the Unicode white-space set.
bool isUnicodeWhitespace(char32_t codePoint);

// ---- Letter case ----

std::string toLowerASCII(std::string_view text);
// Each word's first character upper case and the rest lower case, whatever the locale: ASCII letters and the
// letters of Latin-1, Latin Extended-A, Greek and Cyrillic that have a one-letter other case; others are kept as
// they are. Words are separated by Unicode white space and line breaks, which are kept.
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

// ---- Terminal ----

// A control character: C0, DEL or C1 (U+0080 to U+009F, such as U+009B, an escape sequence in one character).
bool isControlCharacter(char32_t codePoint);
// Text from a server, a tool or a file made safe for a terminal: control characters (C0, DEL, C1) and the
// characters that reorder text (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) become U+FFFD, one
// for one, so hostile text cannot move the cursor, change the terminal or disguise what it shows; invalid UTF-8 is
// repaired.
std::string printableText(std::string_view text);

// ---- Notes ----

// Parts of a note joined with " · " (blank, middle dot, blank); no parts gives nothing.
std::optional<std::string> joinNotes(const std::vector<std::string>& parts);
inline constexpr std::string_view kNoteSeparator = " \u00B7 ";

// ---- Pieces ----

// The pieces between every `separator`, empty ones kept: "a::b" split at ":" gives "a", "", "b"; the empty text
// gives one empty piece.
std::vector<std::string_view> splitKeepingEmpty(std::string_view text, std::string_view separator);

}  // namespace dapplewick
