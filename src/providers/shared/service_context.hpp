#pragma once

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"

namespace dapplewick {

// What the usage engine hands every provider service at construction. The references outlive the services.
// Each member is a test seam: tests pass a scripted transport, a fixed clock and a fixed environment.
struct ServiceContext {
  HTTPTransport& transport;
  const Clock& clock;
  const Environment& environment;
  const Origins& origins;
};

}  // namespace dapplewick
