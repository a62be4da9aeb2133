#include "common/excerpt.hpp"

#include "common/text.hpp"

namespace dapplewick {

std::string errorExcerpt(std::string_view text, std::size_t maxCodePoints) {
  return repairUTF8(prefixCodePoints(text, maxCodePoints));
}

// Cut first: printableText maps each code point to one, so the cut falls where it would after filtering, and a
// megabyte of text is never filtered only to be dropped.
std::string printableExcerpt(std::string_view text) { return printableText(errorExcerpt(text)); }

std::string bodyExcerpt(std::string_view body) { return isValidUTF8(body) ? errorExcerpt(body) : std::string(); }

}  // namespace dapplewick
