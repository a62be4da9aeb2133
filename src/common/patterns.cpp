#include "common/patterns.hpp"

#include <re2/re2.h>

namespace dapplewick {

std::string joinPattern(std::initializer_list<std::string_view> parts) {
  std::string joined;
  for (const auto part : parts) joined += part;
  return joined;
}

std::optional<std::string> firstCapture(std::string_view text, const re2::RE2& re) {
  std::string capture;
  if (!re2::RE2::PartialMatch(text, re, &capture)) return std::nullopt;
  return capture;
}

}  // namespace dapplewick
