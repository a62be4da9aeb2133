#pragma once

#include <exception>
#include <string>
#include <utility>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "providers/service_context.hpp"
#include "support/fake_transport.hpp"

namespace dapplewick::testing {

// What a provider service is tested in: a scripted transport, a clock fixed at `now`, an empty environment and
// the default origins. Build the service from `context`.
struct ServiceWorld {
  explicit ServiceWorld(Timestamp now) : clock(now) {}
  ServiceWorld(const ServiceWorld&) = delete;
  ServiceWorld& operator=(const ServiceWorld&) = delete;

  FakeTransport transport;
  FixedClock clock;
  MapEnvironment environment;
  Origins origins;
  ServiceContext context{transport, clock, environment, origins};
};

// The description of what `call` throws, or "no error" when it returns.
template <class F>
std::string errorText(F&& call) {
  try {
    std::forward<F>(call)();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace dapplewick::testing
