#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// Strict standard base64 (RFC 4648 alphabet "A–Z a–z 0–9 + /"): the length a multiple of 4, at most two "=" and
// only at the end, nothing else (no blanks, no line breaks, no URL-safe letters). The decoded bytes, or nothing
// for any other text. The empty text decodes to no bytes.
std::optional<std::string> decodeBase64(std::string_view text);
// `bytes` in standard base64, padded with "=".
std::string encodeBase64(std::string_view bytes);

}  // namespace dapplewick
