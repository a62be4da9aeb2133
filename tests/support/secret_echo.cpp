#include "support/secret_echo.hpp"

#include <algorithm>
#include <cctype>

#include "common/base64.hpp"
#include "common/redaction.hpp"
#include "common/text.hpp"

namespace dapplewick::testing {

std::string encoded(const std::string& text, const std::string& form) {
  std::string out;
  if (form.back() == '2') {
    for (const char c : encoded(text, form.substr(0, form.size() - 1))) {
      out += c == '\\' ? "\\\\" : c == '%' ? "%25" : std::string(1, c);
    }
    return out;
  }
  if (!startsWith(form, "base64")) {
    const char* hex = form == "percent" ? "0123456789abcdef" : "0123456789ABCDEF";
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      const std::string hexByte{hex[byte >> 4], hex[byte & 15]};
      if (form == "json") out += c == '/' ? "\\/" : std::isalnum(byte) ? "\\u00" + hexByte : std::string(1, c);
      else if (form == "html") out += "&#" + std::to_string(byte) + ";";
      else if (form == "htmlx") out += "&#x" + hexByte + ";";
      else out += form == "literal" ? std::string(1, c) : c == ' ' ? "+" : "%" + hexByte;
    }
    return out;
  }
  const std::string data = std::string(form.size() > 6 ? static_cast<std::size_t>(form.back() - '0') : 0, 'x') + text;
  out = encodeBase64(data);
  if (form != "base64+2") return out;
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out.substr(0, out.find('='));
}

namespace {

constexpr std::size_t kRunBytes = 16;
constexpr std::size_t kCutBytes = 6;
constexpr std::string_view kCutMarker = "\u2026";
const char* const kTextForms[] = {"literal", "json", "json2", "percent", "percent2", "html", "htmlx"};

}  // namespace

SecretEchoes::SecretEchoes(std::string_view secret) {
  if (secret.size() < kMinRedactedSecretBytes) return;
  const std::size_t run = std::min(kRunBytes, secret.size());
  for (std::size_t at = 0; at + run <= secret.size(); ++at) {
    const std::string bytes(secret.substr(at, run));
    for (const char* form : kTextForms) runs_.emplace_back(form, toLowerASCII(encoded(bytes, form)));
    // After 0, 1 or 2 other bytes, only the characters that hold nothing but the run's bits are its own.
    for (std::size_t alignment = 0; alignment < 3; ++alignment) {
      const std::string all = encodeBase64(std::string(alignment, 'x') + bytes);
      const std::size_t first = (8 * alignment + 5) / 6;
      std::string own = all.substr(first, 8 * (alignment + run) / 6 - first);
      runs_.emplace_back("base64", own);
      std::replace(own.begin(), own.end(), '+', '-');
      std::replace(own.begin(), own.end(), '/', '_');
      runs_.emplace_back("base64url", own);
    }
  }
  const std::string whole(secret);
  for (const char* form : kTextForms) {
    starts_.emplace_back(form, toLowerASCII(encoded(whole, form)));
    minStarts_.push_back(encoded(whole.substr(0, kCutBytes), form).size());
  }
}

std::optional<std::string> SecretEchoes::in(std::string_view shown) const {
  const std::string lowered = toLowerASCII(shown);
  for (const auto& [form, needle] : runs_) {
    const bool base64 = startsWith(form, "base64");
    if ((base64 ? std::string_view(shown) : std::string_view(lowered)).find(needle) != std::string_view::npos) {
      return form;
    }
  }
  std::string_view end = lowered;
  if (end.ends_with(kCutMarker)) end.remove_suffix(kCutMarker.size());
  for (std::size_t i = 0; i < starts_.size(); ++i) {
    const std::string_view whole = starts_[i].second;
    for (std::size_t length = minStarts_[i]; length <= whole.size(); ++length) {
      if (end.ends_with(whole.substr(0, length))) return "cut " + starts_[i].first;
    }
  }
  return std::nullopt;
}

}  // namespace dapplewick::testing
