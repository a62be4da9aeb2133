#include "providers/alibaba_json.hpp"

#include <cmath>
#include <limits>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick::alibaba {
namespace {

// Only text that opens like an object or an array is worth handing to the parser.
bool mayHoldContainer(std::string_view text) {
  const auto start = text.find_first_not_of(" \t\r\n");
  return start != std::string_view::npos && (text[start] == '{' || text[start] == '[');
}

// `depth` is the level `value` sits at, the top level being 1. Decoded texts may hold more values than the answer
// did, so what is built counts towards the value budget of a document, `built` so far.
std::optional<Json> normalize(const Json& value, int depth, std::size_t& built) {
  if (++built > kMaxJsonValues) throw JsonTooLargeError();
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (mayHoldContainer(text)) {
      // Decoded text takes the string's place, one level no deeper.
      if (auto decoded = parseJsonOrNothing(text); decoded && (decoded->is_object() || decoded->is_array())) {
        --built;  // the string counted above is replaced, not kept
        return normalize(*decoded, depth, built);
      }
    }
    return value;
  }
  if (!value.is_object() && !value.is_array()) return value;
  if (depth > kMaxJsonDepth) return std::nullopt;
  Json out = value.is_object() ? Json::object() : Json::array();
  for (auto it = value.begin(); it != value.end(); ++it) {
    auto child = normalize(*it, depth + 1, built);
    if (!child) continue;
    if (value.is_object()) {
      appendNewMember(out, it.key(), std::move(*child));
    } else {
      out.push_back(std::move(*child));
    }
  }
  return out;
}

// The deep walk: `visit` sees every object, before the values it holds, and ends the walk by returning true.
template <class Visit>
bool walk(const Json& value, int depth, Visit& visit) {
  if (depth > kMaxJsonDepth) return false;
  if (value.is_object() && visit(value)) return true;
  if (value.is_object() || value.is_array()) {
    for (const Json& child : value) {
      if (walk(child, depth + 1, visit)) return true;
    }
  }
  return false;
}

template <class Hit>
const Json* findFirst(Names names, const Json& value, Hit isHit) {
  const Json* found = nullptr;
  auto visit = [&](const Json& object) {
    for (const std::string_view name : names) {
      const Json* candidate = member(&object, name);
      if (candidate != nullptr && isHit(*candidate)) {
        found = isHit.wantsHolder ? &object : candidate;
        return true;
      }
    }
    return false;
  };
  walk(value, 1, visit);
  return found;
}

struct NonBlankString {
  static constexpr bool wantsHolder = false;
  bool operator()(const Json& value) const {
    return value.is_string() && !trimSpacesAndTabs(value.get_ref<const std::string&>()).empty();
  }
};
struct AnObject {
  static constexpr bool wantsHolder = false;
  bool operator()(const Json& value) const { return value.is_object(); }
};
struct AnyValue {
  static constexpr bool wantsHolder = true;
  bool operator()(const Json&) const { return true; }
};

// 2^63: every double below it in magnitude truncates to a 64-bit integer.
constexpr double kTwoTo63 = 9223372036854775808.0;

std::optional<LocalDateTime> readWallClock(std::string_view text) {
  // "yyyy-MM-dd", then " HH:mm", then ":ss"; each field has exactly its digits.
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) return std::nullopt;
  const auto field = [&](std::size_t at, std::size_t count, int& out) {
    const auto number = parseInteger(text.substr(at, count));
    if (!number || text[at] == '+' || text[at] == '-') return false;
    out = static_cast<int>(*number);
    return true;
  };
  const auto separator = [&](std::size_t at, char c) { return text[at] == c; };
  const auto date = parseISODate(text.substr(0, 10));
  if (!date) return std::nullopt;
  LocalDateTime local;
  local.year = date->year;
  local.month = static_cast<int>(date->month);
  local.day = static_cast<int>(date->day);
  if (text.size() >= 16 &&
      (!separator(10, ' ') || !field(11, 2, local.hour) || !separator(13, ':') || !field(14, 2, local.minute))) {
    return std::nullopt;
  }
  if (text.size() == 19 && (!separator(16, ':') || !field(17, 2, local.second))) return std::nullopt;
  return local;
}

}  // namespace

Json normalizeJSON(const Json& value) {
  std::size_t built = 0;
  return normalize(value, 1, built).value_or(Json());
}

std::optional<std::string> findString(Names names, const Json& value) {
  const Json* hit = findFirst(names, value, NonBlankString{});
  if (hit == nullptr) return std::nullopt;
  return hit->get<std::string>();
}

const Json* findDictionary(Names names, const Json& value) { return findFirst(names, value, AnObject{}); }

const Json* findDictionaryContainingAnyKey(Names names, const Json& value) {
  return findFirst(names, value, AnyValue{});
}

std::optional<std::vector<bool>> collectFlags(Names names, const Json& value) {
  std::vector<bool> flags;
  auto visit = [&](const Json& object) {
    for (const std::string_view name : names) {
      const Json* flag = member(&object, name);
      if (flag == nullptr) continue;
      if (flag->is_boolean()) {
        flags.push_back(flag->get<bool>());
      } else if (flag->is_number()) {
        flags.push_back(flag->get<double>() != 0);
      }
    }
    return false;
  };
  walk(value, 1, visit);
  if (flags.empty()) return std::nullopt;
  return flags;
}

std::optional<std::int64_t> firstInt(Names names, const Json& object) {
  for (const std::string_view name : names) {
    const Json* value = member(&object, name);
    if (value == nullptr) continue;
    if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
    if (auto integer = integerValue(value)) return integer;
    if (value->is_number_float()) {
      // A count beyond 64 bits is no count: the next name is tried.
      const double truncated = std::trunc(value->get<double>());
      if (std::isfinite(truncated) && truncated >= -kTwoTo63 && truncated < kTwoTo63) {
        return static_cast<std::int64_t>(truncated);
      }
    } else if (value->is_string()) {
      if (auto parsed = parseInteger(value->get_ref<const std::string&>())) return static_cast<std::int64_t>(*parsed);
    }
  }
  return std::nullopt;
}

std::optional<double> firstDouble(Names names, const Json& object) {
  for (const std::string_view name : names) {
    const Json* value = member(&object, name);
    if (value == nullptr) continue;
    if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
    if (auto number = numberValue(value)) return number;
    if (value->is_string()) {
      std::string text = value->get<std::string>();
      std::erase(text, ',');
      if (auto parsed = parseDecimal(text)) return parsed;
    }
  }
  return std::nullopt;
}

std::optional<Timestamp> parseDate(const Json& value) {
  if (value.is_number_integer() || value.is_number_unsigned()) {
    // Compared as integers: a double would round a figure just above a threshold down onto it.
    const bool isLarge = value.is_number_unsigned() ? value.get<std::uint64_t>() > 1'000'000'000'000ULL
                                                    : value.get<std::int64_t>() > 1'000'000'000'000LL;
    const bool isSeconds = !isLarge && value.get<std::int64_t>() > 1'000'000'000LL;
    if (isLarge) return fromEpochMilliseconds(value.get<double>());
    if (isSeconds) return fromEpochSeconds(value.get<double>());
    return std::nullopt;
  }
  if (value.is_number_float()) {
    return fromEpochAuto(value.get<double>(), 1e12, 1e9);
  }
  if (!value.is_string()) return std::nullopt;
  const auto& text = value.get_ref<const std::string&>();
  if (auto instant = parseRFC3339(text, FractionMode::forbidden)) return instant;
  if (auto local = readWallClock(text)) return fromLocalDateTime(*local);
  return std::nullopt;
}

std::optional<Timestamp> firstDate(Names names, const Json& object) {
  for (const std::string_view name : names) {
    if (const Json* value = member(&object, name)) {
      if (auto date = parseDate(*value)) return date;
    }
  }
  return std::nullopt;
}

}  // namespace dapplewick::alibaba
