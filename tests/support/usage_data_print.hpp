#pragma once

#include <ostream>

#include "cli/json_output.hpp"
#include "model/usage_data.hpp"

namespace dapplewick {

// Let GoogleTest show a record as the command line's JSON, and a provider by its raw value, instead of raw bytes.
inline void PrintTo(const UsageData& data, std::ostream* out) {
  *out << usageJson(data).dump(-1, ' ', false, Json::error_handler_t::replace);
}
inline void PrintTo(Provider provider, std::ostream* out) { *out << rawValue(provider); }

}  // namespace dapplewick
