#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "providers/service_context.hpp"
#include "support/fake_transport.hpp"

namespace dapplewick::testing {

// Everything a provider service is built from, under the test's control: a scripted transport, a clock fixed at
// `now`, an empty environment and the default origins (or the given overrides).
struct ServiceRig {
  explicit ServiceRig(Timestamp now, Origins origins = {}) : clock(now), origins(std::move(origins)) {}
  ServiceRig(const ServiceRig&) = delete;
  ServiceRig& operator=(const ServiceRig&) = delete;

  FakeTransport transport;
  FixedClock clock;
  MapEnvironment environment;
  Origins origins;
  ServiceContext context{transport, clock, environment, origins};
};

// A stop source whose stop is requested `delay` after construction, from a thread of its own (joined on
// destruction): to stop a fetch while it is under way.
class DelayedStop {
 public:
  explicit DelayedStop(std::chrono::milliseconds delay);
  ~DelayedStop();
  DelayedStop(const DelayedStop&) = delete;
  DelayedStop& operator=(const DelayedStop&) = delete;
  std::stop_token token() const { return source_.get_token(); }

 private:
  std::stop_source source_;
  std::thread thread_;
};

// The description of the exception `action` throws; a test failure (and an empty text) when it throws none.
std::string thrownText(const std::function<void()>& action);

}  // namespace dapplewick::testing
