#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"

namespace dapplewick {

// A body that does not decode into the record a service expects. The text names the key path.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The document of a whole body, as parseJsonOrNothing builds it; throws DecodingError when the body is not JSON (its
// text says whether the body is empty, a web page or something else, never quoting it) or nests deeper than
// kMaxJsonDepth, and JsonTooLargeError when it holds too many values.
Json parseJson(std::string_view body);

// ---- Strict ("decodable") reading ----
//
// A JsonRef is one value of a document together with its key path ("data.limits[2].unit"), so that a failure can
// say where it happened. Required keys must exist and be non-null; a wrong JSON type fails; null or absence gives
// an empty optional. An integer accepts a JSON integer, or a float with an exact integral value in range, and
// nothing else. Booleans are not numbers.
class JsonRef {
 public:
  JsonRef(const Json& value, std::string path) : value_(&value), path_(std::move(path)) {}
  static JsonRef root(const Json& value) { return JsonRef(value, ""); }

  const Json& json() const { return *value_; }
  std::string path() const;
  bool isNull() const { return value_->is_null(); }

  // The member `key`, which must be present and not null.
  JsonRef at(std::string_view key) const;
  // The member `key`, or nothing when it is absent or null. Fails when this value is not an object.
  std::optional<JsonRef> get(std::string_view key) const;
  // The elements of this array, each with its indexed path. Fails when this value is not an array.
  std::vector<JsonRef> elements() const;

  // This value as T: std::int64_t, int, double, bool, std::string, or JsonRef (an object check).
  template <class T>
  T as() const;

  template <class T>
  T required(std::string_view key) const {
    return at(key).as<T>();
  }
  template <class T>
  std::optional<T> optional(std::string_view key) const {
    auto member = get(key);
    if (!member) return std::nullopt;
    return member->as<T>();
  }

  [[noreturn]] void fail(std::string_view expected) const;

 private:
  // An element: its path is only written out when asked for, since most never are.
  JsonRef(const Json& value, std::shared_ptr<const std::string> list, std::size_t index)
      : value_(&value), list_(std::move(list)), index_(index) {}
  std::string childPath(std::string_view key) const;
  const Json* value_;
  std::string path_;
  // For an element, the path of its list and its place there; `path_` is then unused.
  std::shared_ptr<const std::string> list_;
  std::size_t index_ = 0;
};

template <>
std::int64_t JsonRef::as<std::int64_t>() const;
template <>
int JsonRef::as<int>() const;
template <>
double JsonRef::as<double>() const;
template <>
bool JsonRef::as<bool>() const;
template <>
std::string JsonRef::as<std::string>() const;
template <>
JsonRef JsonRef::as<JsonRef>() const;

}  // namespace dapplewick
