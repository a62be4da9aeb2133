#include "common/base64.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dapplewick {
namespace {

TEST(DecodeBase64, StandardAlphabetWholeQuadsPaddingOnlyAtTheEnd) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"", ""},
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"TQ", std::nullopt},        // not a multiple of 4
      {"T===", std::nullopt},      // three "="
      {"TQ==TWFu", std::nullopt},  // "=" inside
      {"=QTQ", std::nullopt},
      {"-_-_", std::nullopt},  // URL-safe letters
      {"TW u", std::nullopt},
      {"TWFu\n", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(decodeBase64(text), want) << text;
}

}  // namespace
}  // namespace dapplewick
