#include "common/json_read.hpp"

#include <limits>
#include <utility>

#include "common/json_lenient.hpp"

namespace dapplewick {
namespace {

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

Json parseJson(std::string_view body) {
  if (auto document = parseJsonOrNothing(body)) return std::move(*document);
  throw DecodingError(whyNotJson(body));
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

}  // namespace dapplewick
