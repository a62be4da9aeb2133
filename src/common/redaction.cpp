#include "common/redaction.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <unordered_set>
#include <utility>

#include "common/base64.hpp"
#include "common/text.hpp"

// How a secret is found. The text is decoded once per form a server may echo it in (as it is, JSON-escaped,
// percent-encoded, HTML character references, each of these once and twice) into a view: its bytes, each remembering
// where its escape begins in the text. Every run of `window` bytes of a view is looked up in a hash set of the
// secret's own runs of that length (n - window + 1 of them), and hits that overlap merge into one span of the text.
// Base64 is looked up the same way, as the characters that encode the secret at each of the three byte alignments in
// both alphabets, in every view (a base64 value may itself be percent-encoded). A window is at most 16 bytes (20
// base64 characters), so the cost is O(text x views x secrets x window) with linear memory: texts are an excerpt or
// a note and secrets few, and even an 8 MiB text costs a few hash lookups per byte, never a rescan per position.
//
// Lengths are bytes: a secret is rarely anything but ASCII, and spans widen to whole UTF-8 sequences before they go.

namespace dapplewick {
namespace {

constexpr std::string_view kRedacted = "[redacted]";
// Some services end a text they cut with this; the text ended just before it.
constexpr std::string_view kCutMarker = "\u2026";
// A secret this long is redacted in parts too, any run of half of it (8 to kMaxPartBytes bytes): half a key inside a
// message or a host name is still half the key. A shorter secret counts only whole, as a part of it is too short to
// tell from ordinary words.
constexpr std::size_t kMinPartedSecretBytes = 16;
constexpr std::size_t kMaxPartBytes = 16;
// A text that ends in this much of a secret was most likely cut inside it (8 base64 characters hold 6 bytes).
constexpr std::size_t kMinCutSecretBytes = 6;
constexpr std::size_t kMinCutBase64Characters = 8;
// Longer numeric character references are no characters.
constexpr std::size_t kMaxDecimalReferenceDigits = 7;
constexpr std::size_t kMaxHexReferenceDigits = 6;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

using Span = std::pair<std::size_t, std::size_t>;  // [begin, end) of the text

// The number of digits in base `base` (10 or 16) from `pos` on, at most `max`, and their value.
std::size_t digitsAt(std::string_view in, std::size_t pos, std::size_t max, int base, char32_t& value) {
  value = 0;
  std::size_t count = 0;
  for (; count < max && pos + count < in.size(); ++count) {
    const int digit = hexDigitValue(in[pos + count]);
    if (digit < 0 || digit >= base) break;
    value = value * static_cast<char32_t>(base) + static_cast<char32_t>(digit);
  }
  return count;
}

// Escapes are read one at a time: each reader appends what the escape (or plain byte) at `pos` stands for to `out`
// and returns its length, or 0 for an escape the end of the text cuts short, where decoding stops.

std::size_t jsonUnit(std::string_view in, std::size_t pos, std::string& out) {
  if (in[pos] == '\\') {
    if (pos + 1 == in.size()) return 0;
    const char next = in[pos + 1];
    if (next == '/' || next == '\\' || next == '"') {
      out += next;
      return 2;
    }
    char32_t code = 0;
    const std::size_t digits = next == 'u' ? digitsAt(in, pos + 2, 4, 16, code) : 0;
    if (next == 'u' && digits < 4 && pos + 2 + digits == in.size()) return 0;
    if (digits == 4) {
      std::size_t length = 6;
      char32_t low = 0;
      if (code >= 0xD800 && code < 0xDC00 && in.substr(pos + 6, 2) == "\\u" && digitsAt(in, pos + 8, 4, 16, low) == 4 &&
          low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        length = 12;
      }
      appendUTF8(out, code);
      return length;
    }
  }
  out += in[pos];
  return 1;
}

// A "+" stays a "+": blanks and pluses are folded together when compared, so it stands for either.
std::size_t percentUnit(std::string_view in, std::size_t pos, std::string& out) {
  if (in[pos] == '%') {
    char32_t code = 0;
    const std::size_t digits = digitsAt(in, pos + 1, 2, 16, code);
    if (digits == 2) {
      out += static_cast<char>(code);
      return 3;
    }
    if (pos + 1 + digits == in.size()) return 0;
  }
  out += in[pos];
  return 1;
}

std::size_t htmlUnit(std::string_view in, std::size_t pos, std::string& out) {
  static constexpr std::array<std::pair<std::string_view, char>, 5> kNamed = {
      {{"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}, {"lt;", '<'}, {"gt;", '>'}}};
  const std::string_view rest = in.substr(pos + 1);
  if (in[pos] == '&' && startsWith(rest, "#")) {
    const bool hex = rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X');
    const std::size_t first = hex ? 2 : 1;
    char32_t code = 0;
    const std::size_t digits =
        digitsAt(rest, first, hex ? kMaxHexReferenceDigits : kMaxDecimalReferenceDigits, hex ? 16 : 10, code);
    const std::size_t end = first + digits;
    if (end == rest.size()) return 0;
    if (digits > 0 && rest[end] == ';' && code > 0 && code <= kMaxCodePoint) {
      appendUTF8(out, code);
      return end + 2;
    }
  } else if (in[pos] == '&') {
    for (const auto& [name, character] : kNamed) {
      if (startsWith(rest, name)) {
        out += character;
        return name.size() + 1;
      }
      if (rest.size() < name.size() && startsWith(name, rest)) return 0;
    }
  }
  out += in[pos];
  return 1;
}

using UnitReader = std::size_t (*)(std::string_view, std::size_t, std::string&);

// A text decoded from one form. Escapes are contiguous, so a byte's escape ends where the next byte's begins; `end`
// is where decoding stopped: the end of the text, or the start of an escape the text was cut inside.
struct View {
  std::string bytes;
  std::vector<std::size_t> from;  // per byte, where its escape begins
  std::size_t end = 0;
};

View decode(std::string_view in, UnitReader readUnit) {
  View view;
  std::size_t pos = 0;
  while (pos < in.size()) {
    const std::size_t length = readUnit(in, pos, view.bytes);
    if (length == 0) break;
    view.from.resize(view.bytes.size(), pos);
    pos += length;
  }
  view.end = pos;
  return view;
}

// Escaped twice ("%252F", "\\u002F"): the second decoding's positions lead back through the first.
View decodeTwice(std::string_view in, UnitReader readUnit) {
  const View once = decode(in, readUnit);
  View twice = decode(once.bytes, readUnit);
  for (std::size_t& at : twice.from) at = once.from[at];
  twice.end = twice.end < once.bytes.size() ? once.from[twice.end] : once.end;
  return twice;
}

// Every view of `text`. A form whose escape character the text lacks would only repeat the text as it is.
std::vector<View> viewsOf(std::string_view text) {
  std::vector<View> views(1);
  views[0].bytes = text;
  views[0].from.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) views[0].from[i] = i;
  views[0].end = text.size();
  const std::array<std::pair<char, UnitReader>, 3> forms = {{{'\\', jsonUnit}, {'%', percentUnit}, {'&', htmlUnit}}};
  for (const auto& [escape, readUnit] : forms) {
    if (text.find(escape) == std::string_view::npos) continue;
    views.push_back(decode(text, readUnit));
    if (views.back().bytes.find(escape) != std::string::npos) views.push_back(decodeTwice(text, readUnit));
  }
  return views;
}

// The span of the text that bytes [begin, end) of `view` were decoded from.
Span sourceSpan(const View& view, std::size_t begin, std::size_t end) {
  std::size_t sourceEnd = view.end;
  for (std::size_t k = end; k < view.from.size(); ++k) {
    if (view.from[k] != view.from[end - 1]) {
      sourceEnd = view.from[k];
      break;
    }
  }
  return {view.from[begin], sourceEnd};
}

// Case is ignored (some texts are lowered before they are shown), and a blank matches a "+" either way: a query
// writes a blank as "+", and a server that decoded one shows a "+" it was sent as a blank.
char fold(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c == ' ' ? '+' : c;
}

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold(c);
  return out;
}

bool isBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '-' || c == '_';
}

// What of one secret is looked for in a view: any run of `window` characters of one of `sources`, anywhere; and
// where the text ends, a shorter run, down to `minTail`. A secret under 16 bytes counts only whole (its window is
// all of it), and a text cut inside it must end in its start, as an ordinary word may share a few bytes with it.
// A longer one also goes when the cut part starts anywhere in it: a token echoed without its prefix, then cut.
struct Needle {
  std::vector<std::string> sources;  // never resized once `windows` points into it
  std::size_t window = 0;
  std::size_t minTail = 0;
  bool parted = false;
  bool base64 = false;
  std::unordered_set<std::string_view> windows;
  std::bitset<1 << 16> starts;  // the first two bytes of each window: a cheap test most positions of a text fail
};

std::size_t firstTwoBytes(std::string_view text, std::size_t pos) {
  return static_cast<std::size_t>(static_cast<unsigned char>(text[pos])) << 8 |
         static_cast<unsigned char>(text[pos + 1]);
}

Needle literalNeedle(std::string_view secret) {
  Needle needle;
  needle.sources = {folded(secret)};
  needle.parted = secret.size() >= kMinPartedSecretBytes;
  needle.window = needle.parted ? std::min(kMaxPartBytes, secret.size() / 2) : secret.size();
  needle.minTail = kMinCutSecretBytes;
  return needle;
}

// At each alignment only the characters that hold nothing but the secret's bits are its own; the one at either end
// that holds some of them goes along with a hit. A run of w bytes fully holds (8w - 4) / 6 characters at worst.
Needle base64Needle(std::string_view secret, const Needle& literal) {
  Needle needle;
  for (std::size_t alignment = 0; alignment < 3; ++alignment) {
    const std::string encoded = encodeBase64(std::string(alignment, '\0') + std::string(secret));
    const std::size_t first = (8 * alignment + 5) / 6;
    std::string core = encoded.substr(first, 8 * (alignment + secret.size()) / 6 - first);
    needle.sources.push_back(core);
    std::replace(core.begin(), core.end(), '+', '-');
    std::replace(core.begin(), core.end(), '/', '_');
    needle.sources.push_back(core);
  }
  needle.parted = literal.parted;
  needle.window = (8 * literal.window - 4) / 6;
  needle.minTail = kMinCutBase64Characters;
  needle.base64 = true;
  return needle;
}

void indexWindows(Needle& needle) {
  for (const std::string& source : needle.sources) {
    for (std::size_t i = 0; i + needle.window <= source.size(); ++i) {
      needle.windows.insert(std::string_view(source).substr(i, needle.window));
      needle.starts.set(firstTwoBytes(source, i));
    }
  }
}

// Adds where `needle` shows in `view` (whose bytes, folded or not, are `haystack`) of a text of `textSize` bytes to
// `spans`, in text order.
void find(const View& view, std::string_view haystack, const Needle& needle, std::size_t textSize,
          std::vector<Span>& spans) {
  const std::size_t size = haystack.size();
  const auto add = [&](std::size_t begin, std::size_t end, bool toTextEnd) {
    if (needle.base64) {
      if (begin > 0 && isBase64Character(haystack[begin - 1])) --begin;
      if (end < size && isBase64Character(haystack[end])) ++end;
      while (end < size && haystack[end] == '=') ++end;
    }
    Span span = sourceSpan(view, begin, end);
    // An escape the text was cut inside goes with the cut secret.
    if (toTextEnd) span.second = textSize;
    if (!spans.empty() && spans.back().first <= span.first && span.first <= spans.back().second) {
      spans.back().second = std::max(spans.back().second, span.second);
    } else {
      spans.push_back(span);
    }
  };
  for (std::size_t i = 0; i + needle.window <= size; ++i) {
    const bool hit =
        needle.starts.test(firstTwoBytes(haystack, i)) && needle.windows.count(haystack.substr(i, needle.window)) != 0;
    if (hit) add(i, i + needle.window, false);
  }
  // A run that reaches the end is the longest one that fits the window: a longer one is in the hits above.
  for (std::size_t length = std::min(needle.window, size); length >= needle.minTail; --length) {
    const std::string_view tail = haystack.substr(size - length);
    const bool cut = std::any_of(needle.sources.begin(), needle.sources.end(), [&](const std::string& source) {
      return needle.parted ? source.find(tail) != std::string::npos : startsWith(source, tail);
    });
    if (cut) {
      add(size - length, size, true);
      break;
    }
  }
}

// A span never splits a UTF-8 sequence (a secret's bytes may start or end inside one).
Span widenToCharacters(std::string_view text, Span span) {
  const auto continuation = [&](std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
  for (int i = 0; i < 3 && span.first > 0 && span.first < text.size() && continuation(span.first); ++i) --span.first;
  for (int i = 0; i < 3 && span.second < text.size() && continuation(span.second); ++i) ++span.second;
  return span;
}

}  // namespace

std::string redactSecrets(std::string_view text, const std::vector<std::string>& secrets) {
  const bool marked = text.ends_with(kCutMarker);
  const std::string_view body = marked ? text.substr(0, text.size() - kCutMarker.size()) : text;
  std::vector<Needle> needles;
  needles.reserve(2 * secrets.size());
  for (const std::string& secret : secrets) {
    if (secret.size() < kMinRedactedSecretBytes) continue;
    needles.push_back(literalNeedle(secret));
    needles.push_back(base64Needle(secret, needles.back()));
  }
  for (Needle& needle : needles) indexWindows(needle);
  std::vector<Span> spans;
  if (!needles.empty()) {
    for (const View& view : viewsOf(body)) {
      const std::string lowered = folded(view.bytes);
      for (const Needle& needle : needles) find(view, needle.base64 ? view.bytes : lowered, needle, body.size(), spans);
    }
  }
  for (Span& span : spans) span = widenToCharacters(body, span);
  std::sort(spans.begin(), spans.end());
  std::string out;
  std::size_t done = 0;
  for (std::size_t i = 0; i < spans.size();) {
    const std::size_t begin = spans[i].first;
    std::size_t end = spans[i].second;
    for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::max(end, spans[i].second);
    out.append(body.substr(done, begin - done));
    out += kRedacted;
    done = end;
  }
  out.append(body.substr(done));
  if (marked) out += kCutMarker;
  return out;
}

}  // namespace dapplewick
