#include "common/base64.hpp"

#include <openssl/evp.h>

#include <algorithm>
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

std::string encodeBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(std::max(written, 0)));
  return out;
}

}  // namespace dapplewick
