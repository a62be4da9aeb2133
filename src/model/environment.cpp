#include "model/environment.hpp"

#include <cstdlib>

namespace dapplewick {

std::optional<std::string> ProcessEnvironment::get(std::string_view name) const {
  const std::string key(name);
  // getenv is safe here: nothing in this program calls setenv once threads exist.
  const char* value = std::getenv(key.c_str());  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> MapEnvironment::get(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace dapplewick
