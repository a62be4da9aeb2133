#include "model/keychain.hpp"

namespace dapplewick {

void MemoryKeychain::save(Provider provider, std::string_view credential) {
  std::lock_guard lock(mutex_);
  items_[provider] = std::string(credential);
}

std::optional<std::string> MemoryKeychain::load(Provider provider) const {
  std::lock_guard lock(mutex_);
  auto it = items_.find(provider);
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

void MemoryKeychain::remove(Provider provider) {
  std::lock_guard lock(mutex_);
  items_.erase(provider);
}

std::vector<Provider> MemoryKeychain::savedProviders() const {
  std::lock_guard lock(mutex_);
  std::vector<Provider> list;
  for (Provider provider : allProviders()) {
    if (items_.count(provider) != 0) list.push_back(provider);
  }
  return list;
}

}  // namespace dapplewick
