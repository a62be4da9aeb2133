#include "common/url.hpp"

#include <algorithm>

#include "common/text.hpp"

namespace dapplewick {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return hexDigitValue(c) >= 0; }

bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelimiter(char c) {
  // clang-format off
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
  // clang-format on
}

// True when every character belongs to `allowed` or is a well-formed percent escape.
template <class Allowed>
bool consistsOf(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
      i += 2;
    } else if (!allowed(text[i])) {
      return false;
    }
  }
  return true;
}

bool isPathCharacter(char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@' || c == '/'; }
bool isQueryCharacter(char c) { return isPathCharacter(c) || c == '?'; }

bool isValidScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) return false;
  for (const char c : text) {
    if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return false;
  }
  return true;
}

bool parseAuthority(std::string_view authority, URLParts& url) {
  std::string_view hostAndPort = authority;
  if (const auto at = authority.find('@'); at != std::string_view::npos) {
    // Clients disagree on which "@" ends the user information, so an authority with two is not accepted.
    if (authority.find('@', at + 1) != std::string_view::npos) return false;
    const auto userInfo = authority.substr(0, at);
    if (!consistsOf(userInfo, [](char c) { return isUnreserved(c) || isSubDelimiter(c) || c == ':'; })) {
      return false;
    }
    hostAndPort = authority.substr(at + 1);
  }
  std::string_view portText;
  bool hasPort = false;
  if (!hostAndPort.empty() && hostAndPort.front() == '[') {
    const auto close = hostAndPort.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    const auto literal = hostAndPort.substr(1, close - 1);
    for (const char c : literal) {
      if (!(isHexDigit(c) || c == ':' || c == '.')) return false;
    }
    url.host = std::string(literal);
    const auto after = hostAndPort.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      hasPort = true;
      portText = after.substr(1);
    }
  } else {
    const auto colon = hostAndPort.find(':');
    const auto host = hostAndPort.substr(0, colon);
    if (!consistsOf(host, [](char c) { return isUnreserved(c) || isSubDelimiter(c); })) return false;
    url.host = std::string(host);
    if (colon != std::string_view::npos) {
      hasPort = true;
      portText = hostAndPort.substr(colon + 1);
    }
  }
  if (hasPort) {
    for (const char c : portText) {
      if (!isDigit(c)) return false;
    }
    url.port = std::string(portText);
  }
  url.authority = std::string(authority);
  return true;
}

}  // namespace

std::optional<URLParts> parseURL(std::string_view text) {
  if (text.empty()) return std::nullopt;
  URLParts url;
  std::string_view rest = text;

  const auto schemeEnd = rest.find_first_of(":/?#");
  if (schemeEnd != std::string_view::npos && rest[schemeEnd] == ':' && isValidScheme(rest.substr(0, schemeEnd))) {
    url.scheme = std::string(rest.substr(0, schemeEnd));
    rest.remove_prefix(schemeEnd + 1);
  }

  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    const auto fragment = rest.substr(hash + 1);
    if (!consistsOf(fragment, isQueryCharacter)) return std::nullopt;
    url.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    const auto query = rest.substr(question + 1);
    if (!consistsOf(query, isQueryCharacter)) return std::nullopt;
    url.query = std::string(query);
    rest = rest.substr(0, question);
  }
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    if (!parseAuthority(rest.substr(0, slash), url)) return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  if (!consistsOf(rest, isPathCharacter)) return std::nullopt;
  url.path = std::string(rest);
  return url;
}

std::string formatURL(const URLParts& url) {
  std::string text;
  if (url.scheme) text += *url.scheme + ":";
  if (url.authority) text += "//" + *url.authority;
  text += url.path;
  if (url.query) text += "?" + *url.query;
  return text;
}

namespace {

// Appends `text` with every character that `keep` refuses written as "%" and two upper-case hex digits.
template <class Keep>
void appendPercentEncoded(std::string& out, std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char ch : text) {
    if (keep(ch)) {
      out.push_back(ch);
      continue;
    }
    const auto c = static_cast<unsigned char>(ch);
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
  }
}

// Kept in a query item: the unreserved characters and the query's other characters ("/" "?" ":" "@" and the
// sub-delimiters) but for the four that carry meaning inside a query ("&" "=" "+" and the quote "'").
bool keptInQueryItem(char c) {
  if (isUnreserved(c)) return true;
  // clang-format off
  switch (c) {
    case '!': case '$': case '(': case ')': case '*': case ',': case ';': case ':': case '@': case '/': case '?':
      return true;
    default:
      return false;
  }
  // clang-format on
}

}  // namespace

std::string percentEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendPercentEncoded(out, text, isUnreserved);
  return out;
}

std::string withQuery(std::string_view url, const QueryItems& items) {
  std::string out(url);
  bool first = url.find('?') == std::string_view::npos;
  for (const auto& [name, value] : items) {
    out.push_back(first ? '?' : '&');
    first = false;
    appendPercentEncoded(out, name, keptInQueryItem);
    out.push_back('=');
    appendPercentEncoded(out, value, keptInQueryItem);
  }
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

namespace {

// Where the user part of an address written as text begins: after "://" when what stands before it is a scheme,
// else at its beginning (a password may hold "://").
std::size_t userPartStart(std::string_view address) {
  const std::size_t schemeEnd = address.find("://");
  return schemeEnd != std::string_view::npos && isValidScheme(address.substr(0, schemeEnd)) ? schemeEnd + 3 : 0;
}

// The password between the first ":" after `start` and the "@" at `at`.
std::optional<std::pair<std::size_t, std::size_t>> passwordBefore(std::string_view address, std::size_t start,
                                                                  std::size_t at) {
  if (at == std::string_view::npos || at < start) return std::nullopt;
  const std::size_t colon = address.find(':', start);
  if (colon == std::string_view::npos || colon > at) return std::nullopt;
  return std::pair(colon + 1, at);
}

// `text` with each of `known` that carries a password masked wherever it stands whole.
std::string withKnownAddressesMasked(std::string text, const std::vector<std::string>& known) {
  for (const std::string& address : known) {
    const std::string masked = maskAddressPassword(address);
    if (masked == address) continue;  // no password, or nothing at all
    for (auto at = text.find(address); at != std::string::npos; at = text.find(address, at + masked.size())) {
      text.replace(at, address.size(), masked);
    }
  }
  return text;
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> addressPasswordSpan(std::string_view address) {
  return passwordBefore(address, userPartStart(address), address.rfind('@'));
}

std::optional<std::pair<std::size_t, std::size_t>> sentAddressPasswordSpan(std::string_view address) {
  const std::size_t start = userPartStart(address);
  const std::size_t authorityEnd = std::min(address.find_first_of("/?#", start), address.size());
  return passwordBefore(address, start, address.substr(0, authorityEnd).rfind('@'));
}

std::string maskAddressPassword(std::string_view address) {
  std::string out(address);
  if (const auto span = addressPasswordSpan(address)) out.replace(span->first, span->second - span->first, "***");
  return out;
}

std::string maskAddressPasswords(std::string_view original, const std::vector<std::string>& known) {
  const std::string knownMasked = withKnownAddressesMasked(std::string(original), known);
  const std::string_view text = knownMasked;
  constexpr std::string_view kBlanks = " \t\r\n";
  constexpr std::string_view kQuotes = "'\"";
  constexpr std::string_view kEnds = " \t\r\n'\"";
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (kBlanks.find(c) != std::string_view::npos) {
      out += c;
      ++pos;
      continue;
    }
    const bool quoted = kQuotes.find(c) != std::string_view::npos;
    if (quoted) {
      out += c;
      ++pos;
    }
    // A quote left open runs to the end of the text, as a cut message leaves it.
    const std::size_t end = std::min(quoted ? text.find(c, pos) : text.find_first_of(kEnds, pos), text.size());
    out += maskAddressPassword(text.substr(pos, end - pos));
    pos = end;
    if (quoted && pos < text.size()) {
      out += c;
      ++pos;
    }
  }
  return out;
}

}  // namespace dapplewick

namespace dapplewick {

bool appendPathSegment(URLParts& url, std::string_view segment) {
  if (segment == "." || segment == "..") return false;
  if (url.path.empty() || url.path.back() != '/') url.path.push_back('/');
  url.path += percentEncode(segment);
  return true;
}

void setQuery(URLParts& url, const QueryItems& items) {
  if (items.empty()) {
    url.query.reset();
    return;
  }
  // withQuery of an empty text writes "?" first.
  url.query = withQuery("", items).substr(1);
}

}  // namespace dapplewick
