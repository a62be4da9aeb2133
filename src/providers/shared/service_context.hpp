#pragma once

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/tool_runner.hpp"

namespace dapplewick {

// What the usage engine hands every provider service at construction. The references outlive the services.
// Each member is a test seam: tests pass a scripted transport and tool runner, a fixed clock and a fixed
// environment.
struct ServiceContext {
  HTTPTransport& transport;
  ToolRunner& tools;
  const Clock& clock;
  const Environment& environment;
  const Origins& origins;
};

}  // namespace dapplewick
