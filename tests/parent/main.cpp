// A parent project's program: builds an engine from the pieces the command builds it from, over the credential
// folder named by its argument, refreshes (no credential is saved there, so nothing is fetched) and prints the
// providers this build reads, one a line.

#include <iostream>
#include <vector>

#include "engine/usage_service.hpp"
#include "model/clock.hpp"
#include "model/configuration.hpp"
#include "model/environment.hpp"
#include "model/file_keychain.hpp"
#include "model/provider.hpp"
#include "model/tool_runner.hpp"
#include "net/curl_transport.hpp"
#include "providers/shared/service_context.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: parent_app CREDENTIAL_FOLDER\n";
    return 2;
  }
  // The library's -Wconversion, with its -Werror, would refuse this line: its flags must stay its own.
  const int unusedHalf = argc * 0.5;
  static_cast<void>(unusedHalf);

  dapplewick::FileKeychain keychain(argv[1]);
  const dapplewick::Configuration configuration = dapplewick::loadConfiguration(keychain.folder());
  dapplewick::CurlTransportOptions options;
  options.caBundle = configuration.caBundle;
  dapplewick::CurlTransport transport(options);
  dapplewick::ProcessToolRunner tools;
  dapplewick::SystemClock clock;
  dapplewick::ProcessEnvironment environment;
  const dapplewick::ServiceContext context{transport, tools, clock, environment, configuration.origins};
  dapplewick::UsageService engine(keychain, context);

  const auto& all = dapplewick::allProviders();
  if (!engine.refreshAll(std::vector<dapplewick::Provider>(all.begin(), all.end())) || !engine.usageData().empty()) {
    std::cerr << "the refresh over an empty store fetched something\n";
    return 1;
  }
  for (dapplewick::Provider provider : all) {
    if (dapplewick::UsageService::isSupported(provider)) std::cout << dapplewick::rawValue(provider) << "\n";
  }
  return 0;
}
