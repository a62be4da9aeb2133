#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// A URL split into its generic parts. Used where an address comes from the user rather than from the origin
// configuration, so that what is checked (scheme, host) is exactly what the transport will be given.
struct URLParts {
  std::optional<std::string> scheme;     // as written
  std::optional<std::string> authority;  // everything between "//" and the path, as written
  std::string host;                      // an IP literal without its brackets; empty without an authority
  std::optional<std::string> port;       // decimal digits (possibly none) after the host's ":"
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

// Parses absolute and relative references. Refuses empty text, and any text holding a character a URL may not
// hold (blanks, controls, non-ASCII, quotes, backslashes, a "%" without two hex digits), a malformed scheme,
// brackets outside an IP literal, more than one "@" in the authority, or a port that is not digits.
std::optional<URLParts> parseURL(std::string_view text);

// scheme ":" ["//" authority] path ["?" query]. The fragment is left out: it never goes on the wire.
std::string formatURL(const URLParts& url);

}  // namespace dapplewick
