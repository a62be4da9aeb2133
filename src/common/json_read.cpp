#include "common/json_read.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

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

// Builds the document from the parser's events. nlohmann's own builder looks every key up by a walk over the
// object's members, and its callback variant walks the parent's members each time an object ends; both are
// quadratic in a dense body. Here a key is appended at once, and an object past a few members gets a hash index
// of its keys while it is open, so that a repeated key still keeps its first place and its last value.
//
// An integer written outside 64 bits becomes a float, and below INT64_MIN the nearest float is -2^63 itself, which
// an integer reader would take as INT64_MIN. Such a value is moved one step further from zero (a relative change of
// 2^-52), so that every integer reader refuses it while a reader of numbers still sees the figure.
class DocumentBuilder {
 public:
  DocumentBuilder(Json& root, const ListFold* fold) : root_(root), fold_(fold) {}

  bool tooLarge() const { return tooLarge_; }

  bool null() { return place(nullptr) != nullptr; }
  bool boolean(bool value) { return place(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return place(value) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return place(value) != nullptr; }
  bool number_float(double value, const std::string& text) {
    const bool integerText = text.find_first_of(".eE") == std::string::npos;
    if (integerText && value == -9223372036854775808.0) value = std::nextafter(value, -HUGE_VAL);
    return place(value) != nullptr;
  }
  bool string(std::string& value) { return place(std::move(value)) != nullptr; }
  bool binary(Json::binary_t& value) { return place(Json::binary(std::move(value))) != nullptr; }

  bool start_object(std::size_t /*size*/) { return open(Json::value_t::object); }
  bool start_array(std::size_t /*size*/) { return open(Json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& name) {
    Open& object = open_.back();
    auto& members = static_cast<Members&>(object.value->get_ref<Json::object_t&>());
    // The value of the folded key of the top-level object is folded when it is a list.
    object.folding = fold_ != nullptr && open_.size() == 1 && name == fold_->key;
    object.member = nullptr;
    if (object.index) {
      if (const auto found = object.index->find(name); found != object.index->end()) {
        object.member = &members[found->second].second;
      }
    } else {
      const auto found =
          std::find_if(members.begin(), members.end(), [&](const auto& known) { return known.first == name; });
      if (found != members.end()) object.member = &found->second;
    }
    if (object.member != nullptr) return true;
    if (object.index) object.index->emplace(name, members.size());
    members.emplace_back(std::move(name), nullptr);
    object.member = &members.back().second;
    if (!object.index && members.size() >= kIndexedFrom) {
      object.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < members.size(); ++i) object.index->emplace(members[i].first, i);
    }
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  using Members = Json::object_t::Container;
  // Below this many members a key is found by a walk, which is quicker than hashing for the objects of most bodies.
  static constexpr std::size_t kIndexedFrom = 16;

  struct Open {
    Json* value;
    Json* member = nullptr;  // of an object, set by each key: where the value after it goes; a list has none
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index{};
    bool folding = false;     // the top-level object, after the folded key; a list, whose elements are folded
    std::size_t counted = 0;  // of a folded list: the values counted before its element
  };

  // Puts `value` where the next value goes and gives its place, or nullptr past the budget.
  template <class Value>
  Json* place(Value&& value) {
    if (++values_ > kMaxJsonValues) {
      tooLarge_ = true;
      return nullptr;
    }
    if (open_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return &root_;
    }
    Open& parent = open_.back();
    if (parent.member != nullptr) {
      *parent.member = Json(std::forward<Value>(value));
      return parent.member;
    }
    auto& elements = parent.value->get_ref<Json::array_t&>();
    if (parent.folding) parent.counted = values_ - 1;
    elements.emplace_back(std::forward<Value>(value));
    Json* placed = &elements.back();
    if (parent.folding && !placed->is_structured()) foldLast();
    return placed;
  }

  bool open(Json::value_t type) {
    const bool folded = type == Json::value_t::array && open_.size() == 1 && open_.back().folding;
    Json* placed = place(type);
    if (placed == nullptr) return false;
    open_.push_back({placed});
    if (folded) {
      open_.back().folding = true;
      if (fold_->begin) fold_->begin();
    }
    return true;
  }

  bool close() {
    open_.pop_back();
    if (!open_.empty() && open_.back().folding && open_.back().value->is_array()) foldLast();
    return true;
  }

  // Hands the last element of the folded list on and drops it; its values no longer count.
  void foldLast() {
    Open& list = open_.back();
    auto& elements = list.value->get_ref<Json::array_t&>();
    Json element = std::move(elements.back());
    elements.pop_back();
    values_ = list.counted;
    fold_->element(std::move(element));
  }

  Json& root_;
  const ListFold* fold_;
  std::vector<Open> open_;
  std::size_t values_ = 0;
  bool tooLarge_ = false;
};

// Nothing for a body that is not JSON: it holds a raw NUL (which no JSON text holds; the parser would stop there
// and drop the rest), nests too deeply, or does not parse.
std::optional<Json> parseDocument(std::string_view body, const ListFold* fold) {
  if (body.find('\0') != std::string_view::npos || nestsTooDeeply(body)) return std::nullopt;
  Json value;
  DocumentBuilder builder(value, fold);
  const bool parsed = Json::sax_parse(body.begin(), body.end(), &builder);
  if (builder.tooLarge()) throw JsonTooLargeError();
  if (!parsed) return std::nullopt;
  return value;
}

// What a body that did not parse is, said without quoting any of it: a user can act on an empty answer or on a web
// page (a sign-in page once a browser session has expired, or a proxy's page) where "not JSON" alone tells nothing.
// A leading byte-order mark and blanks are passed over first; no JSON text begins with "<".
const char* whyNotJson(std::string_view body) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (body.starts_with(kByteOrderMark)) body.remove_prefix(kByteOrderMark.size());
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "the answer is empty, not JSON";
  if (body[first] == '<') {
    return "the answer is a web page, not JSON (a sign-in page when a browser session has expired, or a proxy's page)";
  }
  if (nestsTooDeeply(body)) return "the JSON nests too deeply";
  return "the answer is not valid JSON";
}

}  // namespace

JsonTooLargeError::JsonTooLargeError()
    : std::runtime_error("The answer holds more than " + std::to_string(kMaxJsonValues) + " values") {}

Json parseJson(std::string_view body) {
  if (auto document = parseDocument(body, nullptr)) return std::move(*document);
  throw DecodingError(whyNotJson(body));
}

std::optional<Json> parseJsonOrNothing(std::string_view body) { return parseDocument(body, nullptr); }

std::optional<Json> parseJsonOrNothing(std::string_view body, const ListFold& fold) {
  return parseDocument(body, &fold);
}

void appendNewMember(Json& object, std::string key, Json value) {
  static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>())
      .emplace_back(std::move(key), std::move(value));
}

std::string JsonRef::path() const {
  if (!list_) return path_;
  return *list_ + "[" + std::to_string(index_) + "]";
}

std::string JsonRef::childPath(std::string_view key) const {
  std::string path = this->path();
  if (!path.empty()) path += '.';
  path += key;
  return path;
}

void JsonRef::fail(std::string_view expected) const {
  const std::string path = this->path();
  std::string message = "expected ";
  message += expected;
  if (path.empty()) {
    message += " at the top level";
  } else {
    message += " at \"" + path + "\"";
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
  const auto listPath = std::make_shared<const std::string>(path());
  std::vector<JsonRef> list;
  list.reserve(value_->size());
  for (std::size_t i = 0; i < value_->size(); ++i) list.push_back(JsonRef((*value_)[i], listPath, i));
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
