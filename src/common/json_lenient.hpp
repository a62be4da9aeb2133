#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json_document.hpp"
#include "common/timestamp.hpp"

namespace dapplewick {

// Lenient reading: untyped walks of a document, where a value of an unexpected kind is simply absent.

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
