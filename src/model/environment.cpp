#include "model/environment.hpp"

#include <cstdlib>

extern char** environ;  // NOLINT(readability-redundant-declaration): not declared by every C library header

namespace dapplewick {

std::optional<std::string> ProcessEnvironment::get(std::string_view name) const {
  const std::string key(name);
  // getenv is safe here: nothing in this program calls setenv once threads exist.
  const char* value = std::getenv(key.c_str());  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::map<std::string, std::string, std::less<>> ProcessEnvironment::variables() const {
  std::map<std::string, std::string, std::less<>> all;
  // Same reasoning as getenv above: the environment is not modified once threads exist.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {  // NOLINT(concurrency-mt-unsafe)
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    // The first occurrence wins, as getenv would answer.
    all.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return all;
}

std::optional<std::filesystem::path> xdgConfigHome(const Environment& environment) {
  if (auto xdg = environment.get("XDG_CONFIG_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) return *xdg;
  if (auto home = environment.get("HOME"); home && !home->empty()) return std::filesystem::path(*home) / ".config";
  return std::nullopt;
}

std::optional<std::string> MapEnvironment::get(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace dapplewick
