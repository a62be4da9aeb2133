#include "common/text.hpp"

#include <algorithm>

namespace dapplewick {

bool isUnicodeWhitespace(char32_t c) {
  // clang-format off
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
  // clang-format on
}

namespace {

bool isLineBreak(char32_t c) {
  return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Length in bytes of the code point that ends at `end` (exclusive), or 0 when none is well formed there.
std::size_t lastCodePointLength(std::string_view text, std::size_t end) {
  for (std::size_t len = 1; len <= 4 && len <= end; ++len) {
    std::size_t pos = end - len;
    const auto byte = static_cast<unsigned char>(text[pos]);
    if ((byte & 0xC0) == 0x80) continue;
    std::size_t probe = pos;
    decodeUTF8(text, probe);
    return probe == end ? len : 1;
  }
  return 1;
}

template <class Pred>
std::string_view trimIf(std::string_view text, Pred pred) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    const char32_t c = decodeUTF8(text, next);
    if (!pred(c)) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t len = lastCodePointLength(text, end);
    std::size_t probe = end - len;
    const char32_t c = decodeUTF8(text, probe);
    if (!pred(c)) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) { return trimIf(text, isUnicodeWhitespace); }

std::string_view trimSpacesAndTabs(std::string_view text) {
  return trimIf(text, [](char32_t c) { return isUnicodeWhitespace(c) && !isLineBreak(c); });
}

bool containsAny(std::string_view text, std::initializer_list<std::string_view> needles) {
  for (const auto needle : needles) {
    if (text.find(needle) != std::string_view::npos) return true;
  }
  return false;
}

namespace {

// Bytes of the line end that starts at `at`, or 0.
std::size_t lineEndLength(std::string_view text, std::size_t at) {
  switch (text[at]) {
    case '\n':
    case '\r':
    case '\v':
    case '\f': return 1;
    default: break;
  }
  const std::string_view rest = text.substr(at);
  if (startsWith(rest, "\u0085")) return 2;
  if (startsWith(rest, "\u2028") || startsWith(rest, "\u2029")) return 3;
  return 0;
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t at = 0;
  const auto close = [&](std::size_t end) {
    if (end > start) lines.push_back(text.substr(start, end - start));
  };
  while (at < text.size()) {
    if (const std::size_t length = lineEndLength(text, at)) {
      close(at);
      at += length;
      start = at;
    } else {
      ++at;
    }
  }
  close(text.size());
  return lines;
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hexLower(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
  }
  return out;
}

namespace {
char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upperASCII(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string toLowerASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerASCII(c);
  return out;
}

namespace {

// Capital and small letters of Latin-1, Latin Extended-A, Greek and Cyrillic, as Unicode's one-letter mappings pair
// them; nothing here depends on a locale. Letters whose other case is no single letter (ß, ŉ, ĸ) or an ASCII
// letter (ı, ſ, İ) stay as they are.
struct CasePairs {
  char32_t firstCapital;
  char32_t lastCapital;
  char32_t smallOffset;  // small letter = capital + offset
  bool alternating;      // capitals and small letters take turns: only every other code point is a capital
};

constexpr CasePairs kCasePairs[] = {
    {0xC0, 0xD6, 0x20, false},   {0xD8, 0xDE, 0x20, false},   {0x100, 0x12E, 1, true},     {0x132, 0x136, 1, true},
    {0x139, 0x147, 1, true},     {0x14A, 0x176, 1, true},     {0x179, 0x17D, 1, true},     {0x386, 0x386, 0x26, false},
    {0x388, 0x38A, 0x25, false}, {0x38C, 0x38C, 0x40, false}, {0x38E, 0x38F, 0x3F, false}, {0x391, 0x3A1, 0x20, false},
    {0x3A3, 0x3AB, 0x20, false}, {0x400, 0x40F, 0x50, false}, {0x410, 0x42F, 0x20, false}, {0x460, 0x480, 1, true},
    {0x48A, 0x4BE, 1, true},     {0x4C1, 0x4CD, 1, true},     {0x4D0, 0x52E, 1, true},
};
// Pairs the table cannot hold: ÿ comes before its capital, and Σ has a second small form, the final ς.
constexpr char32_t kSmallYDiaeresis = 0xFF, kCapitalYDiaeresis = 0x178, kFinalSigma = 0x3C2, kCapitalSigma = 0x3A3;

bool isCapitalOf(const CasePairs& pairs, char32_t c) {
  return c >= pairs.firstCapital && c <= pairs.lastCapital && (!pairs.alternating || (c - pairs.firstCapital) % 2 == 0);
}

char32_t upperCodePoint(char32_t c) {
  if (c < 0x80) return static_cast<char32_t>(upperASCII(static_cast<char>(c)));
  if (c == kSmallYDiaeresis) return kCapitalYDiaeresis;
  if (c == kFinalSigma) return kCapitalSigma;
  for (const CasePairs& pairs : kCasePairs) {
    if (c >= pairs.smallOffset && isCapitalOf(pairs, c - pairs.smallOffset)) return c - pairs.smallOffset;
  }
  return c;
}

char32_t lowerCodePoint(char32_t c) {
  if (c < 0x80) return static_cast<char32_t>(lowerASCII(static_cast<char>(c)));
  if (c == kCapitalYDiaeresis) return kSmallYDiaeresis;
  for (const CasePairs& pairs : kCasePairs) {
    if (isCapitalOf(pairs, c)) return c + pairs.smallOffset;
  }
  return c;
}

}  // namespace

std::string capitalizeWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool atWordStart = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = decodeUTF8(text, pos);
    const char32_t mapped = isUnicodeWhitespace(c) ? c : atWordStart ? upperCodePoint(c) : lowerCodePoint(c);
    atWordStart = isUnicodeWhitespace(c);
    // An unchanged character keeps its own bytes, so an invalid sequence passes through as it came.
    if (mapped == c) {
      out.append(text.substr(start, pos - start));
    } else {
      appendUTF8(out, mapped);
    }
  }
  return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
  }
  return true;
}

bool containsIgnoringASCIICase(std::string_view haystack, std::string_view needle) {
  return findIgnoringASCIICase(haystack, needle) != std::string_view::npos;
}

std::size_t findIgnoringASCIICase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (equalsIgnoringASCIICase(haystack.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

char32_t decodeUTF8(std::string_view text, std::size_t& pos) {
  constexpr char32_t kReplacement = 0xFFFD;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return cp;
}

void appendUTF8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool isValidUTF8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = decodeUTF8(text, pos);
    if (cp == 0xFFFD && pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80) return false;
  }
  return true;
}

std::string repairUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) appendUTF8(out, decodeUTF8(text, pos));
  return out;
}

std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    decodeUTF8(text, pos);
    ++count;
  }
  return count;
}

std::string_view prefixCodePoints(std::string_view text, std::size_t maxCodePoints) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < maxCodePoints && pos < text.size(); ++n) decodeUTF8(text, pos);
  return text.substr(0, pos);
}

bool isControlCharacter(char32_t codePoint) {
  return codePoint < 0x20 || codePoint == 0x7F || (codePoint >= 0x80 && codePoint <= 0x9F);
}

std::string printableText(std::string_view text) {
  const std::string repaired = repairUTF8(text);
  std::string out;
  out.reserve(repaired.size());
  std::size_t pos = 0;
  while (pos < repaired.size()) {
    const char32_t codePoint = decodeUTF8(repaired, pos);
    const bool control = isControlCharacter(codePoint);
    // Marks, embeddings, overrides and isolates change the order in which a terminal shows what follows, so a
    // server's or a file's text could make a figure or a name read differently than it is.
    const bool reorders = codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
                          (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
    appendUTF8(out, control || reorders ? U'\uFFFD' : codePoint);
  }
  return out;
}

std::optional<std::string> joinNotes(const std::vector<std::string>& parts) {
  if (parts.empty()) return std::nullopt;
  std::string note;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) note += kNoteSeparator;
    note += parts[i];
  }
  return note;
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  while (true) {
    const auto at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + separator.size());
  }
}

}  // namespace dapplewick
