#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <utility>
#include <string>

namespace dapplewick::testing {

// Sets (or unsets) an environment variable for the scope of a test and restores the old value afterwards.
class EnvGuard {
 public:
  EnvGuard(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~EnvGuard() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs a test in the given time zone (TZ) and restores the process zone afterwards.
class TimeZoneGuard {
 public:
  explicit TimeZoneGuard(const std::string& zone) {
    guard_.emplace("TZ", zone);
    ::tzset();
  }
  ~TimeZoneGuard() {
    guard_.reset();
    ::tzset();
  }
  TimeZoneGuard(const TimeZoneGuard&) = delete;
  TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

 private:
  std::optional<EnvGuard> guard_;
};

}  // namespace dapplewick::testing
