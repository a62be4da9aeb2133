#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/service_table.hpp"
#include "model/keychain.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// The usage engine: builds every provider service of the service table once, dispatches one fetch per provider
// through its table line, turns every failure into an error record, and refreshes providers in parallel.
class UsageService {
 public:
  // Called once per finished fetch, from the worker thread that ran it; calls are serialised.
  using ResultCallback = std::function<void(const UsageData&)>;

  // The keychain and the context's members must outlive the engine.
  UsageService(KeychainService& keychain, const ServiceContext& context);
  ~UsageService();
  UsageService(const UsageService&) = delete;
  UsageService& operator=(const UsageService&) = delete;

  // True for the providers whose service this build has.
  static bool isSupported(Provider provider);

  // One fetch: loads the credential ("No credential saved" without one) and runs the provider's service. Never
  // throws: any failure becomes a record whose `error` is the failure's description. The secrets the provider's
  // line names are taken out of the error and every note, the windows' included.
  UsageData fetchDispatch(Provider provider, std::stop_token stop = {});

  // Refreshes the providers of `enabled` that have a saved credential, one worker each, in parallel; every
  // result is stored as it arrives. Returns false at once, doing nothing, while another refresh is running.
  // A fetch's failure becomes its record, and whatever `onResult` throws is dropped. What the keychain throws when
  // asked for the saved providers escapes, before any fetch: FileKeychain's KeychainError for a damaged store, one
  // it cannot read, or one in a place others could change. A worker that cannot be started throws
  // std::system_error once the workers already started are stopped and joined (their records are kept). Either way
  // lastRefreshed is left as it was.
  bool refreshAll(const std::vector<Provider>& enabled, std::stop_token stop = {}, ResultCallback onResult = {});

  // Refreshes one provider whether or not it has a credential; no guard. Shows a loading record meanwhile.
  UsageData refresh(Provider provider, std::stop_token stop = {});

  // The stored records, in Provider order.
  std::vector<UsageData> usageData() const;
  std::optional<UsageData> usageData(Provider provider) const;
  bool isRefreshing() const { return refreshing_.load(); }
  std::optional<Timestamp> lastRefreshed() const;

 private:
  void store(const UsageData& record);

  KeychainService& keychain_;
  ServiceContext context_;
  ServiceInstances services_;
  std::map<Provider, UsageFetcher> fetchers_;

  std::atomic<bool> refreshing_{false};
  mutable std::mutex mutex_;
  std::map<Provider, UsageData> results_;
  std::optional<Timestamp> lastRefreshed_;
};

}  // namespace dapplewick
