#include "common/random.hpp"

#include <openssl/rand.h>

#include <array>
#include <stdexcept>

#include "common/text.hpp"

namespace dapplewick {

std::string randomUUID() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("The system's random source is unavailable");
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text = hexLower(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  for (const std::size_t dash : {20U, 16U, 12U, 8U}) text.insert(dash, 1, '-');
  return text;
}

}  // namespace dapplewick
