#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dapplewick {

// Secrets shorter than this are not redacted: they would match ordinary words and leave error texts unreadable.
inline constexpr std::size_t kMinRedactedSecretBytes = 8;

// `text` with every secret of `secrets` replaced by "[redacted]", in each form a server may echo it in: literal
// (ASCII case ignored, since some texts are lowered before they are shown), JSON-escaped ("\/", "\"", "\\" and
// "\uXXXX", surrogate pairs included) once or twice, percent-encoded (either hex case, "+" for a blank) once or
// twice, HTML character references ("&#47;", "&#x2F;", "&amp;") once or twice, and base64 (standard and URL-safe,
// with or without padding, at each of the three alignments within a longer encoding, also inside the other forms).
// A secret of 16 bytes or more also goes in parts: any run of half of it (8 to 16 bytes) anywhere.
// A text that ends in part of a secret (6 bytes or 8 base64 characters of it at least, from its start for a secret
// under 16 bytes), or inside an escape after it, was cut there and loses that tail; a final "…" that marks such a
// cut stays after "[redacted]".
std::string redactSecrets(std::string_view text, const std::vector<std::string>& secrets);

}  // namespace dapplewick
