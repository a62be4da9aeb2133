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
// "\uXXXX", surrogate pairs included), percent-encoded (either hex case, "+" for a blank), and base64 (standard
// and URL-safe, with or without padding, at each of the three alignments within a longer encoding). A text that
// ends in the first characters of a secret, as a text cut to length may, loses them too.
std::string redactSecrets(std::string_view text, const std::vector<std::string>& secrets);

}  // namespace dapplewick
