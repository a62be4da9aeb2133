#pragma once

#include <chrono>

namespace dapplewick {

// Every instant the system handles: milliseconds since 1970-01-01 00:00:00 UTC.
using Timestamp = std::chrono::sys_time<std::chrono::milliseconds>;

}  // namespace dapplewick
