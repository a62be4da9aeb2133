#pragma once

#include <string_view>

namespace dapplewick {

// The short desktop-browser User-Agent that web-facing endpoints expect, sent with API keys and cookies alike.
inline constexpr std::string_view kBrowserUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";

// Full desktop Chrome User-Agents, for web apps that check the browser version behind a session cookie.
inline constexpr std::string_view kChrome143UserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/143.0.0.0 "
    "Safari/537.36";
inline constexpr std::string_view kChrome147UserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/147.0.0.0 "
    "Safari/537.36";

// The system's own User-Agent, for the APIs that accept it.
inline constexpr std::string_view kDapplewickUserAgent = "Dapplewick/1.0";

}  // namespace dapplewick
