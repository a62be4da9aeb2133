#include "engine/usage_service.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "common/redaction.hpp"
#include "common/service_error.hpp"
#include "common/task_group.hpp"
#include "model/http.hpp"

namespace dapplewick {

UsageService::UsageService(KeychainService& keychain, const ServiceContext& context)
    : keychain_(keychain), context_(context), services_(context) {
  for (const ServiceLine& entry : serviceTable()) {
    fetchers_.emplace(entry.provider, entry.bind(services_));
  }
}

UsageService::~UsageService() = default;

bool UsageService::isSupported(Provider provider) { return serviceLineFor(provider) != nullptr; }

namespace {

// Server text reaches a record through error texts and notes, of the record and of each window beneath; whatever
// of the credential it echoes goes here, once, after any cut (the redactor knows a cut secret).
void redactRecord(UsageData& record, const std::vector<std::string>& secrets) {
  if (record.error) record.error = redactSecrets(*record.error, secrets);
  if (record.note) record.note = redactSecrets(*record.note, secrets);
  for (UsageData& auxiliary : record.auxiliaryUsage) redactRecord(auxiliary, secrets);
}

}  // namespace

UsageData UsageService::fetchDispatch(Provider provider, std::stop_token stop) {
  // A proxy's password goes with every request, and a tool's words may quote its variable: hidden from the start.
  std::vector<std::string> secrets = proxyPasswords(context_.environment);
  std::string error;
  try {
    const auto credential = keychain_.load(provider);
    if (!credential) return UsageData::failure(provider, "No credential saved", context_.clock.now());
    const ServiceLine* entry = serviceLineFor(provider);
    const auto fetcher = fetchers_.find(provider);
    if (entry == nullptr || fetcher == fetchers_.end()) {
      throw std::runtime_error("This build of Dapplewick does not read " + std::string(rawValue(provider)));
    }
    // Routed once, before the fetch: its secrets are needed before it runs, and must be those of what it is given.
    const RoutedCredential routed = routedCredential(entry->route, *credential, provider);
    for (std::string& secret : lineSecrets(*entry, routed, context_.environment)) secrets.push_back(std::move(secret));
    UsageData record = fetcher->second(routed, std::move(stop));
    redactRecord(record, secrets);
    return record;
  } catch (const ServiceError& failure) {
    // The case's own words stay whole: a short secret that matches one of them would otherwise take it.
    error = std::string(failure.prefix()) + redactSecrets(failure.outside(), secrets) + std::string(failure.suffix());
  } catch (const std::exception& failure) {
    error = redactSecrets(failure.what(), secrets);
  } catch (...) {
    error = "Unknown error";
  }
  return UsageData::failure(provider, error, context_.clock.now());
}

void UsageService::store(const UsageData& record) {
  std::lock_guard lock(mutex_);
  results_[record.provider] = record;
}

bool UsageService::refreshAll(const std::vector<Provider>& enabled, std::stop_token stop, ResultCallback onResult) {
  bool expected = false;
  if (!refreshing_.compare_exchange_strong(expected, true)) return false;
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag.store(false); }
  } release{refreshing_};

  std::vector<Provider> withCredential;
  const auto saved = keychain_.savedProviders();
  for (Provider provider : allProviders()) {
    const bool isEnabled = std::find(enabled.begin(), enabled.end(), provider) != enabled.end();
    const bool isSaved = std::find(saved.begin(), saved.end(), provider) != saved.end();
    if (isEnabled && isSaved) withCredential.push_back(provider);
  }

  std::mutex callbackMutex;
  {
    TaskGroup group(stop);
    std::vector<TaskGroup::Child<void>> workers;
    workers.reserve(withCredential.size());
    for (Provider provider : withCredential) {
      workers.push_back(group.spawn([this, provider, &onResult, &callbackMutex](std::stop_token token) {
        const UsageData record = fetchDispatch(provider, token);
        store(record);
        if (onResult) {
          std::lock_guard lock(callbackMutex);
          onResult(record);
        }
      }));
    }
    for (auto& worker : workers) worker.awaitOptional();
  }

  std::lock_guard lock(mutex_);
  lastRefreshed_ = context_.clock.now();
  return true;
}

UsageData UsageService::refresh(Provider provider, std::stop_token stop) {
  UsageData placeholder = UsageData::blank(provider);
  placeholder.isLoading = true;
  store(placeholder);
  UsageData record = fetchDispatch(provider, stop);
  store(record);
  return record;
}

std::vector<UsageData> UsageService::usageData() const {
  std::lock_guard lock(mutex_);
  std::vector<UsageData> list;
  for (const auto& [provider, record] : results_) list.push_back(record);
  return list;
}

std::optional<UsageData> UsageService::usageData(Provider provider) const {
  std::lock_guard lock(mutex_);
  auto it = results_.find(provider);
  if (it == results_.end()) return std::nullopt;
  return it->second;
}

std::optional<Timestamp> UsageService::lastRefreshed() const {
  std::lock_guard lock(mutex_);
  return lastRefreshed_;
}

}  // namespace dapplewick
