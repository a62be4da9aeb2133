#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace dapplewick {

// A JSON document as the services read it, and how it is built from a body within bounds of depth and size. The
// strict reader (json_read.hpp) and the lenient readers (json_lenient.hpp) walk what is built here.

// Document order matters to several services, so every JSON value keeps its members in order.
using Json = nlohmann::ordered_json;

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

// The document of a whole body, or nothing when it is not JSON: it holds a raw NUL (which no JSON text holds), nests
// deeper than kMaxJsonDepth, or does not parse. Throws JsonTooLargeError when it holds too many values. An object
// keeps its keys in document order; a repeated key keeps its first place and its last value.
std::optional<Json> parseJsonOrNothing(std::string_view body);

// Whether `body` nests deeper than kMaxJsonDepth. Brackets inside strings do not count.
bool nestsTooDeeply(std::string_view body);

// Appends a member to `object` without looking for `key` among its members, which would cost a walk over them:
// only for a key known to be new there, such as a key of another object being copied.
void appendNewMember(Json& object, std::string key, Json value);

}  // namespace dapplewick
