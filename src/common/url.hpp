#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Percent-encodes everything but the unreserved characters (ALPHA DIGIT "-" "." "_" "~"), for one path segment
// or one query value.
std::string percentEncode(std::string_view text);

// Name and value of one query item, unencoded.
using QueryItems = std::vector<std::pair<std::string, std::string>>;

// `url` with the items appended as its query ("?" first, or "&" when it has one), each name and value encoded as
// a URL query item is: the query characters of RFC 3986 stay as they are, while "&", "=", "+", "#", blanks,
// quotes, "%" and everything outside printable ASCII are percent-encoded. No items leave the URL as it is.
std::string withQuery(std::string_view url, const QueryItems& items);

// Every "%" followed by two hex digits becomes the byte it names; everything else, a lone "%" and "+" included,
// stays as it is.
std::string percentDecode(std::string_view text);

// The password an address written as text carries, read as leniently as an HTTP library reads a proxy variable:
// after the scheme's "://" (when there is one), from the first ":" up to the last "@" of the text. [begin, end) in
// `address`; nothing when no ":" stands before an "@". The address need not be valid: one with a typo in its port
// or a blank in its host still has its password found, and a password with an unencoded "/" or "@" is taken whole.
// What stands before "://" is a scheme only when it is one (a letter, then letters, digits, "+", "-" or "."):
// in "user:pa://ss@host" there is none, and the password is "pa://ss".
std::optional<std::pair<std::size_t, std::size_t>> addressPasswordSpan(std::string_view address);

// The password as the HTTP library itself takes it from the address, to send it: the same, but the user part ends
// at the last "@" before the first "/", "?" or "#" after the scheme. In "http://u:pw@host/@x" it is "pw", where
// addressPasswordSpan takes "pw@host/". Nothing when no ":" stands before such an "@".
std::optional<std::pair<std::size_t, std::size_t>> sentAddressPasswordSpan(std::string_view address);

// `address` with its password (see addressPasswordSpan), whatever its length, replaced by "***".
std::string maskAddressPassword(std::string_view address);

// `text` with every address it quotes masked as maskAddressPassword masks one. Each of `known`, addresses the text
// may quote as written, is masked first wherever it stands whole, so that a quote or a blank in its password
// cannot end it early. Then each run between a pair of quotes (' or ") is taken for one address, blanks and all,
// and outside quotes each run without a blank.
std::string maskAddressPasswords(std::string_view text, const std::vector<std::string>& known = {});

}  // namespace dapplewick

namespace dapplewick {

// Appends `segment` to the path of `url` as exactly one segment, after a "/" unless the path already ends in one.
// It is percent-encoded, so that a "/", "?" or "#" in it never adds a segment, a query or a fragment. Refuses
// (false, `url` unchanged) the dot segments "." and "..", which clients resolve against the path before them.
bool appendPathSegment(URLParts& url, std::string_view segment);

// Replaces the query of `url` by the items, encoded as withQuery encodes them; no items remove it. A URL whose
// query is to stay is simply not given to this.
void setQuery(URLParts& url, const QueryItems& items);

}  // namespace dapplewick
