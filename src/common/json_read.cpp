#include "common/json_read.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/detail/input/json_sax.hpp>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {
namespace {

// Refuses nesting deeper than the limit before the parser sees it, so no later walk or dump can recurse without
// bound. Brackets inside strings do not count.
bool nestsTooDeeply(std::string_view body) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// The document builders of the library, told apart in one place: an integer written outside 64 bits becomes a
// float, and below INT64_MIN the nearest float is -2^63 itself, which an integer reader would take as INT64_MIN.
// Such a value is moved one step further from zero (a relative change of 2^-52), so that every integer reader
// refuses it while a reader of numbers still sees the figure.
template <class Builder>
class DocumentBuilder : public Builder {
 public:
  using Builder::Builder;
  bool number_float(double value, const std::string& text) {
    const bool integerText = text.find_first_of(".eE") == std::string::npos;
    if (integerText && value == -9223372036854775808.0) value = std::nextafter(value, -HUGE_VAL);
    return Builder::number_float(value, text);
  }
};

// Nothing for a body that is not JSON: it holds a raw NUL (which no JSON text holds; the parser would stop there
// and drop the rest), nests too deeply, or does not parse.
std::optional<Json> parseDocument(std::string_view body, const Json::parser_callback_t& callback) {
  if (body.find('\0') != std::string_view::npos || nestsTooDeeply(body)) return std::nullopt;
  Json value;
  bool parsed = false;
  if (callback) {
    DocumentBuilder<nlohmann::detail::json_sax_dom_callback_parser<Json>> builder(value, callback, false);
    parsed = Json::sax_parse(body.begin(), body.end(), &builder);
  } else {
    DocumentBuilder<nlohmann::detail::json_sax_dom_parser<Json>> builder(value, false);
    parsed = Json::sax_parse(body.begin(), body.end(), &builder);
  }
  if (!parsed || value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace

Json parseJson(std::string_view body) {
  if (nestsTooDeeply(body)) throw DecodingError("the JSON nests too deeply");
  auto document = parseDocument(body, nullptr);
  if (!document) throw DecodingError("the data is not valid JSON");
  return std::move(*document);
}

std::optional<Json> parseJsonOrNothing(std::string_view body) { return parseDocument(body, nullptr); }

std::optional<Json> parseJsonOrNothing(std::string_view body, const Json::parser_callback_t& callback) {
  return parseDocument(body, callback);
}

std::string JsonRef::childPath(std::string_view key) const {
  if (path_.empty()) return std::string(key);
  std::string path = path_;
  path += '.';
  path += key;
  return path;
}

void JsonRef::fail(std::string_view expected) const {
  std::string message = "expected ";
  message += expected;
  if (path_.empty()) {
    message += " at the top level";
  } else {
    message += " at \"" + path_ + "\"";
  }
  throw DecodingError(message);
}

std::optional<JsonRef> JsonRef::get(std::string_view key) const {
  if (!value_->is_object()) fail("an object");
  const auto it = value_->find(key);
  if (it == value_->end() || it->is_null()) return std::nullopt;
  return JsonRef(*it, childPath(key));
}

JsonRef JsonRef::at(std::string_view key) const {
  auto member = get(key);
  if (!member) throw DecodingError("missing key \"" + childPath(key) + "\"");
  return *member;
}

std::vector<JsonRef> JsonRef::elements() const {
  if (!value_->is_array()) fail("an array");
  std::vector<JsonRef> list;
  list.reserve(value_->size());
  for (std::size_t i = 0; i < value_->size(); ++i) {
    list.emplace_back((*value_)[i], path_ + "[" + std::to_string(i) + "]");
  }
  return list;
}

template <>
std::int64_t JsonRef::as<std::int64_t>() const {
  const auto value = integerValue(value_);
  if (!value) fail("an integer");
  return *value;
}

template <>
int JsonRef::as<int>() const {
  const std::int64_t value = as<std::int64_t>();
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) fail("an integer");
  return static_cast<int>(value);
}

template <>
double JsonRef::as<double>() const {
  const auto value = numberValue(value_);
  if (!value) fail("a number");
  return *value;
}

template <>
bool JsonRef::as<bool>() const {
  if (!value_->is_boolean()) fail("a boolean");
  return value_->get<bool>();
}

template <>
std::string JsonRef::as<std::string>() const {
  if (!value_->is_string()) fail("a string");
  return value_->get<std::string>();
}

template <>
JsonRef JsonRef::as<JsonRef>() const {
  if (!value_->is_object()) fail("an object");
  return *this;
}

const Json* member(const Json* object, std::string_view key) {
  if (object == nullptr || !object->is_object()) return nullptr;
  const auto it = object->find(key);
  if (it == object->end()) return nullptr;
  return &*it;
}

const Json* asObject(const Json* value) { return (value != nullptr && value->is_object()) ? value : nullptr; }

std::optional<double> lenientNumber(const Json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (value->is_number()) {
    const double d = value->get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
  }
  if (value->is_string()) return parseDecimal(trimWhitespace(value->get_ref<const std::string&>()));
  return std::nullopt;
}

std::optional<double> numberValue(const Json* value) {
  if (value == nullptr || !value->is_number()) return std::nullopt;
  const double d = value->get<double>();
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<std::int64_t> integerValue(const Json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) {
    const auto u = value->get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(u);
    }
  } else if (value->is_number_integer()) {
    return value->get<std::int64_t>();
  } else if (value->is_number_float()) {
    const double d = value->get<double>();
    // 2^63 is exactly representable, and every double below it in magnitude with no fraction fits.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::optional<std::string> lenientText(const Json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const auto trimmed = trimWhitespace(value->get_ref<const std::string&>());
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<Timestamp> lenientDate(const Json* value, double millisecondsAbove) {
  if (value == nullptr) return std::nullopt;
  if (value->is_string()) {
    const auto text = trimWhitespace(value->get_ref<const std::string&>());
    if (text.empty()) return std::nullopt;
    if (auto date = parseInternetDate(text)) return date;
    if (auto number = parseDecimal(text)) return fromEpochAuto(*number, millisecondsAbove);
    return std::nullopt;
  }
  if (value->is_number() && !value->is_boolean()) return fromEpochAuto(value->get<double>(), millisecondsAbove);
  return std::nullopt;
}

std::optional<double> numberOrNumericText(const Json* value, NumberTextTrim trim) {
  if (value == nullptr || !value->is_string()) return numberValue(value);
  std::string_view text = value->get_ref<const std::string&>();
  if (trim == NumberTextTrim::spacesAndTabs) text = trimSpacesAndTabs(text);
  if (trim == NumberTextTrim::whitespace) text = trimWhitespace(text);
  return parseDecimal(text);
}

}  // namespace dapplewick
