#include "common/redaction.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "common/text.hpp"

namespace dapplewick {
namespace {

constexpr std::string_view kRedacted = "[redacted]";
// A text that ends in this much of a secret, in any form but base64, was most likely cut inside it.
constexpr std::size_t kMinCutSecretBytes = 6;

using Span = std::pair<std::size_t, std::size_t>;  // [begin, end) of the text

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<char32_t> hex4(std::string_view text, std::size_t pos) {
  if (pos + 4 > text.size()) return std::nullopt;
  char32_t value = 0;
  for (std::size_t i = pos; i < pos + 4; ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<char32_t>(digit);
  }
  return value;
}

char foldASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

enum class Encoding { json, percent };

// The bytes one unit of `text` at `pos` stands for in `encoding` (a raw byte, or an escape), and its length.
std::size_t unitAt(std::string_view text, std::size_t pos, Encoding encoding, std::string& bytes) {
  bytes.clear();
  const char c = text[pos];
  if (encoding == Encoding::json && c == '\\' && pos + 1 < text.size()) {
    const char next = text[pos + 1];
    if (next == '/' || next == '\\' || next == '"') {
      bytes.push_back(next);
      return 2;
    }
    if (next == 'u') {
      if (auto code = hex4(text, pos + 2)) {
        std::size_t length = 6;
        if (*code >= 0xD800 && *code < 0xDC00 && text.substr(pos + 6, 2) == "\\u") {
          const auto low = hex4(text, pos + 8);
          if (low && *low >= 0xDC00 && *low < 0xE000) {
            code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
            length = 12;
          }
        }
        appendUTF8(bytes, *code);
        return length;
      }
    }
  }
  if (encoding == Encoding::percent && c == '%' && pos + 2 < text.size()) {
    const int high = hexDigit(text[pos + 1]);
    const int low = hexDigit(text[pos + 2]);
    if (high >= 0 && low >= 0) {
      bytes.push_back(static_cast<char>(high * 16 + low));
      return 3;
    }
  }
  bytes.push_back(c);
  return 1;
}

// The end of `secret` written in `encoding` from `pos` on, or nothing. Running out of text after a good part of
// the secret counts: the text was cut there.
std::optional<std::size_t> matchAt(std::string_view text, std::size_t pos, std::string_view secret, Encoding encoding) {
  std::string bytes;
  std::size_t matched = 0;
  while (matched < secret.size()) {
    if (pos >= text.size()) {
      if (matched >= kMinCutSecretBytes) return pos;
      return std::nullopt;
    }
    if (encoding == Encoding::percent && text[pos] == '+' && secret[matched] == ' ') {
      ++matched;
      ++pos;
      continue;
    }
    const std::size_t length = unitAt(text, pos, encoding, bytes);
    if (bytes.size() > secret.size() - matched) return std::nullopt;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      if (foldASCII(bytes[k]) != foldASCII(secret[matched + k])) return std::nullopt;
    }
    matched += bytes.size();
    pos += length;
  }
  return pos;
}

std::string base64(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(std::max(written, 0)));
  return out;
}

bool isBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '-' || c == '_';
}

// Where `secret` appears base64-encoded. At each alignment the characters that hold only the secret's bits are
// searched; the one or two characters at either end that hold some of its bits, and any padding, go with them.
void findBase64(std::string_view text, std::string_view secret, std::vector<Span>& spans) {
  for (std::size_t alignment = 0; alignment < 3; ++alignment) {
    const std::string encoded = base64(std::string(alignment, '\0') + std::string(secret));
    const std::size_t firstBit = 8 * alignment;
    const std::size_t endBit = 8 * (alignment + secret.size());
    const std::size_t first = (firstBit + 5) / 6;
    const std::size_t last = endBit / 6;
    if (last <= first) continue;
    std::string core = encoded.substr(first, last - first);
    const bool partialLeft = firstBit % 6 != 0;
    const bool partialRight = endBit % 6 != 0;
    for (int alphabet = 0; alphabet < 2; ++alphabet) {
      if (alphabet == 1) {
        std::replace(core.begin(), core.end(), '+', '-');
        std::replace(core.begin(), core.end(), '/', '_');
      }
      for (std::size_t hit = text.find(core); hit != std::string_view::npos; hit = text.find(core, hit + 1)) {
        std::size_t begin = hit;
        std::size_t end = hit + core.size();
        if (partialLeft && begin > 0 && isBase64Character(text[begin - 1])) --begin;
        if (partialRight && end < text.size() && isBase64Character(text[end])) ++end;
        while (end < text.size() && text[end] == '=') ++end;
        spans.emplace_back(begin, end);
      }
    }
  }
}

}  // namespace

std::string redactSecrets(std::string_view text, const std::vector<std::string>& secrets) {
  std::vector<Span> spans;
  for (const std::string& secret : secrets) {
    if (secret.size() < kMinRedactedSecretBytes) continue;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
      std::size_t end = pos;
      for (const Encoding encoding : {Encoding::json, Encoding::percent}) {
        if (const auto match = matchAt(text, pos, secret, encoding)) end = std::max(end, *match);
      }
      if (end > pos) spans.emplace_back(pos, end);
    }
    findBase64(text, secret, spans);
  }
  if (spans.empty()) return std::string(text);
  std::sort(spans.begin(), spans.end());
  std::string out;
  std::size_t done = 0;
  for (std::size_t i = 0; i < spans.size();) {
    std::size_t begin = spans[i].first;
    std::size_t end = spans[i].second;
    for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::max(end, spans[i].second);
    out.append(text.substr(done, begin - done));
    out += kRedacted;
    done = end;
  }
  out.append(text.substr(done));
  return out;
}

}  // namespace dapplewick
