#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace re2 {
class RE2;
}

namespace dapplewick {

// Patterns are written in pieces (fixed text and the classes below) and joined once, where they are compiled.
std::string joinPattern(std::initializer_list<std::string_view> parts);
// The first capture group of the first match anywhere in `text`; nothing when there is no match.
std::optional<std::string> firstCapture(std::string_view text, const re2::RE2& re);

}  // namespace dapplewick

// RE2 spellings of the Unicode-aware classes that text written for other regular-expression engines expects: RE2's
// own \s, \d and \w are ASCII only, and its "." stops at "\n" alone. Splice them into patterns where those are meant.
namespace dapplewick::unicode_class {

// White space: tab, line feed, form feed, carriage return and every space separator.
inline constexpr std::string_view kSpace = R"([\t\n\f\r\p{Z}])";
inline constexpr std::string_view kDigit = R"(\p{Nd})";
// Letters, letter numbers, marks, decimal digits, connector punctuation, ZWNJ, ZWJ, and the circled and squared
// Latin letters that count as alphabetic.
inline constexpr std::string_view kWordCharacter =
    R"([\p{L}\p{Nl}\p{M}\p{Nd}\p{Pc}\x{200C}\x{200D}\x{24B6}-\x{24E9}\x{1F130}-\x{1F149}\x{1F150}-\x{1F169})"
    R"(\x{1F170}-\x{1F189}])";
// Anything but a line end (LF, VT, FF, CR, NEL, LS, PS).
inline constexpr std::string_view kNotLineEnd = R"([^\n\x0B\f\r\x{85}\x{2028}\x{2029}])";

}  // namespace dapplewick::unicode_class
