#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/provider.hpp"

namespace dapplewick::testing {

// A recognisable secret: every sample credential carries it as its secret part, so that a test can look for it
// in what the engine shows. Lower case, so that a service that lowers server text before showing it leaks it whole.
inline constexpr std::string_view kCanary = "canary-5e1f0a";

// What the shared service tests need to know of one service of the service table.
struct ServiceSample {
  Provider provider;
  std::string credential;  // usable as stored, holding kCanary
  std::map<std::string, std::string, std::less<>> environment;  // what the service needs besides the credential
  // Requests the service has under way at once before any answer arrives; 0 for a service that sends none.
  int inFlight;
  bool refusesBlank;  // a blank credential is an error before anything is sent
};

// One sample per line of serviceTable(), in its order.
const std::vector<ServiceSample>& serviceSamples();
const ServiceSample* sampleFor(Provider provider);

}  // namespace dapplewick::testing
