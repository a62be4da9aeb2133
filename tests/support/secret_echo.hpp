#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dapplewick::testing {

// `text` in a form a server may echo it in: JSON-escaped, percent-encoded (lower or upper hex), either escaped again
// ("json2", "percent2"), as HTML character references (decimal, or hex: "htmlx"), or base64 with the secret after
// 0, 1 or 2 bytes ("base64+1"), the last in the URL-safe alphabet without padding; "literal" leaves it.
std::string encoded(const std::string& text, const std::string& form);

// Where a text shows a secret, judged by encoding the secret in each form a server may echo it in and looking for
// that, never by decoding the text as the redactor does, so that a fault of the redactor cannot hide itself: the
// secret whole or any run of 16 bytes of it (ASCII case ignored but in base64, at each base64 alignment and in both
// alphabets), or a text (before a final "…") that ends in its first 6 bytes or more, as a text cut inside it does.
// A secret under the redactor's 8 bytes is never looked for.
class SecretEchoes {
 public:
  explicit SecretEchoes(std::string_view secret);
  // The form `shown` holds the secret in, or nothing.
  std::optional<std::string> in(std::string_view shown) const;

 private:
  std::vector<std::pair<std::string, std::string>> runs_;    // form, needle
  std::vector<std::pair<std::string, std::string>> starts_;  // form, the whole secret in it
  std::vector<std::size_t> minStarts_;                       // per start, the length of its first 6 bytes
};

}  // namespace dapplewick::testing
