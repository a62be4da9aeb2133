#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

namespace dapplewick::testing {

// Sets (or unsets) an environment variable for the scope of a test and restores the old value afterwards.
class EnvGuard {
 public:
  EnvGuard(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    set(value);
  }
  ~EnvGuard() { set(old_); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  void set(const std::optional<std::string>& value) const {
    value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

// Runs a test in the given time zone (TZ) and restores the process zone afterwards.
class TimeZoneGuard {
 public:
  explicit TimeZoneGuard(const std::string& zone) : zone_("TZ", zone) { ::tzset(); }

 private:
  struct Reread {
    ~Reread() { ::tzset(); }
  } reread_;  // destroyed last, once TZ is restored
  EnvGuard zone_;
};

}  // namespace dapplewick::testing
