#pragma once

#include <chrono>
#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/provider.hpp"
#include "providers/shared/service_context.hpp"
#include "support/fake_tool_runner.hpp"
#include "support/fake_transport.hpp"

namespace dapplewick::testing {

// A status in a table row that stands for an answer that is not HTTP.
inline constexpr int kNotHTTP = 0;

// What a provider service is tested in: a scripted transport and tool runner, a clock fixed at `now`, an empty
// environment and the default origins. Build the service from `context`. A test of a provider's service names that
// provider, whose fuzz seeds the answers then become; a world that serves no one provider names none.
struct ServiceWorld {
  explicit ServiceWorld(Timestamp now, std::optional<Provider> provider = std::nullopt)
      : transport(provider), tools(provider), clock(now) {}

  FakeTransport transport;
  FakeToolRunner tools;
  FixedClock clock;
  MapEnvironment environment;
  Origins origins;
  ServiceContext context{transport, tools, clock, environment, origins};
};

// A stop source whose stop is requested `delay` after construction, from a thread of its own (joined on
// destruction): to stop a fetch while its requests are under way.
class DelayedStop {
 public:
  explicit DelayedStop(std::chrono::milliseconds delay)
      : thread_([this, delay] {
          std::this_thread::sleep_for(delay);
          source_.request_stop();
        }) {}
  ~DelayedStop() { thread_.join(); }
  std::stop_token token() const { return source_.get_token(); }

 private:
  std::stop_source source_;
  std::thread thread_;
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

// What a fetch came to: `describe` of the record `fetch` returned, or the description of what it threw. Lets a
// table hold successes and failures in one column.
template <class Fetch, class Describe>
std::string outcomeOf(Fetch&& fetch, Describe&& describe) {
  try {
    return std::forward<Describe>(describe)(std::forward<Fetch>(fetch)());
  } catch (const std::exception& error) {
    return error.what();
  }
}

// A request as one text, for one exact comparison: "METHOD URL (TIMEOUT ms)", then one "Name: value" line per
// header in order, then, after a blank line, the body or "(no body)".
inline std::string requestText(const HTTPRequest& request) {
  std::string text = request.method + " " + request.url + " (" + std::to_string(request.timeout.count()) + " ms)\n";
  for (const HTTPHeader& header : request.headers.list()) text += header.name + ": " + header.value + "\n";
  return text + "\n" + request.body.value_or("(no body)");
}

}  // namespace dapplewick::testing
