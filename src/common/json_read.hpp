#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/timestamp.hpp"

namespace dapplewick {

// Document order matters to several services, so every JSON value keeps its members in order.
using Json = nlohmann::ordered_json;

// A body that does not decode into the record a service expects. The text names the key path.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Nesting deeper than this is refused while parsing, and untyped walks treat deeper values as absent.
inline constexpr int kMaxJsonDepth = 256;
// A document may hold at most this many values (every object, list, text, number, boolean and null counts), so that
// a dense body within the size bound of an answer cannot cost gigabytes or minutes to build.
inline constexpr std::size_t kMaxJsonValues = 250'000;

// A body holding more than kMaxJsonValues values. It is no DecodingError on purpose: such a body is JSON, and no
// reader may take it for "not JSON" or for an answer without the figures it looks for.
class JsonTooLargeError : public std::runtime_error {
 public:
  JsonTooLargeError();
};

// Parses a whole body as JSON; throws DecodingError when it is not JSON (its text says whether the body is empty, a
// web page or something else, never quoting it) or nests deeper than kMaxJsonDepth, and JsonTooLargeError when it
// holds too many values. An object keeps its keys in document order; a repeated key keeps its first place and its
// last value.
Json parseJson(std::string_view body);
// The same, but nothing for a body that is not JSON (JsonTooLargeError is still thrown).
std::optional<Json> parseJsonOrNothing(std::string_view body);

// A reader that folds the lists held by one key of the top-level object element by element, so that a long list
// costs one element of memory rather than a tree of all of them.
struct ListFold {
  std::string_view key;
  // A list under `key` begins (again each time the key repeats).
  std::function<void()> begin;
  // Its next element, as soon as it has been read. The document keeps the list, empty.
  std::function<void(Json&& element)> element;
};
// parseJsonOrNothing with `fold` applied. Values handed to it do not count towards kMaxJsonValues once folded.
std::optional<Json> parseJsonOrNothing(std::string_view body, const ListFold& fold);

// Appends a member to `object` without looking for `key` among its members, which would cost a walk over them:
// only for a key known to be new there, such as a key of another object being copied.
void appendNewMember(Json& object, std::string key, Json value);

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

// ---- Lenient reading ----

// The member `key` of `object`, or nullptr when `object` is absent, not an object, or lacks the key.
const Json* member(const Json* object, std::string_view key);
// `value` itself when it is a JSON object, else nullptr.
const Json* asObject(const Json* value);

// A JSON number (booleans count as 1 and 0) if finite; or a JSON string, trimmed of white space and line breaks,
// read by the strict decimal grammar. Anything else gives nothing.
std::optional<double> lenientNumber(const Json* value);
// A JSON number (booleans are not numbers) if finite, else nothing.
std::optional<double> numberValue(const Json* value);
// A JSON integer, or a float with an exact integral value, within 64 bits; anything else gives nothing.
std::optional<std::int64_t> integerValue(const Json* value);
// A JSON string trimmed of white space and line breaks, if anything is left. Numbers give nothing.
std::optional<std::string> lenientText(const Json* value);
// A JSON string (trimmed) read as an internet date-time with a fraction, then without, then as a number read as an
// epoch value; or a JSON number read as an epoch value. Epoch values above `millisecondsAbove` are milliseconds.
std::optional<Timestamp> lenientDate(const Json* value, double millisecondsAbove);

// How much of a number sent as JSON text is trimmed before it is read: providers differ, and the difference decides
// whether " 3.5" is a figure.
enum class NumberTextTrim { none, spacesAndTabs, whitespace };
// A finite JSON number (booleans are not numbers), or a JSON string that, trimmed as `trim` says, reads by the strict
// decimal grammar. Anything else gives nothing.
std::optional<double> numberOrNumericText(const Json* value, NumberTextTrim trim);

}  // namespace dapplewick
