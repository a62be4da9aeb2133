#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/provider.hpp"

namespace dapplewick::testing {

// A recognisable secret: every sample credential carries it as its secret part, so that a test can look for it
// in what the engine shows. Lower case, so that a service that lowers server text before showing it leaks it whole;
// long, so that a part of it is a part of a secret too; with "/" and "+", which every encoding escapes.
inline constexpr std::string_view kCanary = "canary-5e1f0a/b7c9+d2e4-8a6f3b1c0d";

using Variables = std::map<std::string, std::string, std::less<>>;

// What the shared service tests need to know of one service of the service table; a row names the fields that
// differ from the usual service, which has one request under way at once and refuses a blank credential.
struct ServiceSample {
  Provider provider;
  std::string credential;      // usable as stored, holding kCanary
  Variables environment = {};  // what the service needs besides the credential
  // Requests the service has under way at once before any answer arrives; 0 for a service that sends none.
  int inFlight = 1;
  bool refusesBlank = true;  // a blank credential is an error before anything is sent
  // For a service that reads keys from the environment: a credential naming none, and variables whose keys hold
  // kCanary.
  std::string keylessCredential = {};
  Variables keyEnvironment = {};
  // Successful answers, each given to the requests whose URL holds its first member, with kCanary in text the
  // record shows (a plan, a model, a window's name); and what the record then shows of the credential.
  std::vector<std::pair<std::string, std::string>> answers = {};
  std::vector<std::string> shows = {};
};

// One sample per line of serviceTable(), in its order.
const std::vector<ServiceSample>& serviceSamples();
const ServiceSample* sampleFor(Provider provider);

}  // namespace dapplewick::testing
