#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace dapplewick {

// Read access to environment variables. Services read the environment only through this seam.
class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value, or nothing when it is not set.
  virtual std::optional<std::string> get(std::string_view name) const = 0;
  // Every variable, for handing a copy of the environment to a child process.
  virtual std::map<std::string, std::string, std::less<>> variables() const = 0;
};

// The configuration folder of the XDG base-directory rules: $XDG_CONFIG_HOME when it is an absolute path, else
// ~/.config from a non-empty HOME; nothing without either. A relative XDG_CONFIG_HOME is ignored, as those rules
// say: it would name another folder in each working folder.
std::optional<std::filesystem::path> xdgConfigHome(const Environment& environment);

// The process environment.
class ProcessEnvironment final : public Environment {
 public:
  std::optional<std::string> get(std::string_view name) const override;
  std::map<std::string, std::string, std::less<>> variables() const override;
};

// A fixed set of variables (tests).
class MapEnvironment final : public Environment {
 public:
  MapEnvironment() = default;
  explicit MapEnvironment(std::map<std::string, std::string, std::less<>> values) : values_(std::move(values)) {}
  std::optional<std::string> get(std::string_view name) const override;
  std::map<std::string, std::string, std::less<>> variables() const override { return values_; }
  void set(std::string name, std::string value) { values_[std::move(name)] = std::move(value); }

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace dapplewick
