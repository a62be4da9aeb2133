#include "support/service_rig.hpp"

#include <exception>

#include <gtest/gtest.h>

namespace dapplewick::testing {

DelayedStop::DelayedStop(std::chrono::milliseconds delay)
    : thread_([this, delay] {
        std::this_thread::sleep_for(delay);
        source_.request_stop();
      }) {}

DelayedStop::~DelayedStop() { thread_.join(); }

std::string thrownText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

}  // namespace dapplewick::testing
