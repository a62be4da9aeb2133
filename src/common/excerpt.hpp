#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dapplewick {

// Server or tool text bound for an error message: at most 200 code points.
inline constexpr std::size_t kMaxErrorTextCodePoints = 200;
std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints = kMaxErrorTextCodePoints);
// Text quoted from a file in an error message the terminal shows as it is: its excerpt, made printable
// (printableText in common/text.hpp), so a quoted name or path can neither retitle nor recolour the terminal.
std::string printableExcerpt(std::string_view text);
// A response body bound for an error message, read as UTF-8 text: its excerpt, or nothing at all when the body
// is not valid UTF-8 (a binary body says nothing useful, and repaired bytes would only mislead).
std::string bodyExcerpt(std::string_view body);

}  // namespace dapplewick
