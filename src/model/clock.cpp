#include "model/clock.hpp"

namespace dapplewick {

Timestamp SystemClock::now() const {
  return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

}  // namespace dapplewick
