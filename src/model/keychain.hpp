#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/provider.hpp"

namespace dapplewick {

// The store could not be read or written. The text never holds a credential.
class KeychainError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kKeychainServiceName = "com.dapplewick.credentials";

// One credential string per provider, keyed by the provider's raw value.
class KeychainService {
 public:
  virtual ~KeychainService() = default;
  virtual void save(Provider provider, std::string_view credential) = 0;
  // The stored credential, or nothing when none is saved.
  virtual std::optional<std::string> load(Provider provider) const = 0;
  // Removes the provider's credential; removing one that is not there is not an error.
  virtual void remove(Provider provider) = 0;
  // The providers that have a credential, in catalogue order.
  virtual std::vector<Provider> savedProviders() const = 0;
};

// Credentials kept in memory only (tests, benchmarks).
class MemoryKeychain final : public KeychainService {
 public:
  void save(Provider provider, std::string_view credential) override;
  std::optional<std::string> load(Provider provider) const override;
  void remove(Provider provider) override;
  std::vector<Provider> savedProviders() const override;

 private:
  mutable std::mutex mutex_;
  std::map<Provider, std::string> items_;
};

}  // namespace dapplewick
