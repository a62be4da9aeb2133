#pragma once

#include <ostream>

#include "model/usage_data.hpp"

namespace dapplewick {

// Lets GoogleTest show a record field by field when an expectation on it fails, instead of its raw bytes.
void PrintTo(const UsageData& data, std::ostream* out);

}  // namespace dapplewick
