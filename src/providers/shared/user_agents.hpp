#pragma once

#include <string_view>

namespace dapplewick {

// The short desktop-browser User-Agent that web-facing endpoints expect, sent with API keys and cookies alike.
inline constexpr std::string_view kBrowserUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";

// The system's own User-Agent, for the APIs that accept it.
inline constexpr std::string_view kDapplewickUserAgent = "Dapplewick/1.0";

}  // namespace dapplewick
