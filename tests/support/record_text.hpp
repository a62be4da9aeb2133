#pragma once

#include <optional>
#include <string>

#include "common/timestamp.hpp"
#include "model/usage_data.hpp"

namespace dapplewick::testing {

// A record as one line, for one exact comparison in a table row:
//   "USED/LIMIT PERIOD", then " @RESET" where it has a reset date (RFC 3339, milliseconds only where it has them),
//   " cost COST SEMANTIC" where it has a cost or a cost semantic, " 'NOTE'", " error 'ERROR'", " loading",
//   " updated TIME" where `now` is given and lastUpdated is not it (" not updated" where absent),
//   and " + WINDOW" for each window beneath, in the same form.
// Figures are the shortest decimal that reads back, to 6 fraction digits at most ("?" when not finite).
std::string recordText(const UsageData& record, std::optional<Timestamp> now = std::nullopt);

}  // namespace dapplewick::testing
