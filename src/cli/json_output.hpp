#pragma once

#include <string>
#include <vector>

#include "common/json_document.hpp"
#include "model/usage_data.hpp"

namespace dapplewick {

// One record as the command line's JSON shows it: the UsageData fields under their own names and in their order
// (`id` and `provider` as raw values, the enums as case names, instants as RFC 3339 UTC with milliseconds, absent
// values as null, `auxiliaryUsage` as records of the same form), then the derived `percentage`.
Json usageJson(const UsageData& record);

// The records as one JSON array, in the order given.
Json usageArrayJson(const std::vector<UsageData>& records);

// The array as printed: indented, one trailing newline. Invalid UTF-8 in a server's text becomes U+FFFD rather
// than failing the whole output.
std::string formatUsageJson(const std::vector<UsageData>& records);

}  // namespace dapplewick
