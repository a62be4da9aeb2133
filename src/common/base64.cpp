#include "common/base64.hpp"

#include <cstdint>

namespace dapplewick {
namespace {

constexpr int kNotInAlphabet = -1;

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotInAlphabet;
}

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < text.size() && padding < 3 && text[text.size() - 1 - padding] == '=') ++padding;
  if (padding > 2) return std::nullopt;
  const std::string_view digits = text.substr(0, text.size() - padding);

  std::string bytes;
  bytes.reserve(digits.size() / 4 * 3 + 2);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : digits) {
    const int value = sextet(c);
    if (value == kNotInAlphabet) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((buffer >> bits) & 0xFFu));
    }
  }
  return bytes;
}

}  // namespace dapplewick
