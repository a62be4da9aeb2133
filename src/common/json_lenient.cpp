#include "common/json_lenient.hpp"

#include <cmath>
#include <limits>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {

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
