#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"
#include "common/timestamp.hpp"

// The lenient reading of the Alibaba console's answers, which carry one figure under several names, at varying
// depths, as numbers or as text, and whole objects as JSON text inside string members. Nothing here fails: what
// cannot be read is absent, and the callers decide what that means.
namespace dapplewick::alibaba {

// Member names tried in order; earlier names win.
using Names = std::span<const std::string_view>;

// `value` with the JSON text of objects and arrays inside strings decoded, to any depth. Levels decoded from
// strings count towards the depth limit like any other; a value deeper than kMaxJsonDepth is dropped from its
// container.
Json normalizeJSON(const Json& value);

// Deep searches. An object's own members are looked at first, by the names in list order; then each member value
// is searched in document order, arrays element by element. The first hit wins.
//
// A string member that is not blank (spaces and tabs) is a hit; the whole string is the result.
std::optional<std::string> findString(Names names, const Json& value);
// An object-valued member.
const Json* findDictionary(Names names, const Json& value);
// The object that has any of the names, whatever the member's value.
const Json* findDictionaryContainingAnyKey(Names names, const Json& value);
// Every truth value under the names, anywhere: booleans, and numbers as their truth value (0 is false). Nothing
// when none was found.
std::optional<std::vector<bool>> collectFlags(Names names, const Json& value);

// The first usable number among `object`'s own members. Booleans are numbers here (1 and 0), as the console's
// platform boxes them.
//
// An integer; a double truncated towards zero when the result fits in 64 bits; or text of an optional sign and
// digits only.
std::optional<std::int64_t> firstInt(Names names, const Json& object);
// A number; or text read as a decimal number once every "," is removed.
std::optional<double> firstDouble(Names names, const Json& object);

// A number above 1e12 is epoch milliseconds, above 1e9 epoch seconds; a text is an internet date-time without a
// fraction, else the wall-clock time "yyyy-MM-dd HH:mm", "yyyy-MM-dd HH:mm:ss" or "yyyy-MM-dd" in the process
// time zone. Anything else is no date.
std::optional<Timestamp> parseDate(const Json& value);
// The first of the names whose member of `object` parseDate reads.
std::optional<Timestamp> firstDate(Names names, const Json& object);

}  // namespace dapplewick::alibaba
