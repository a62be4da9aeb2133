#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
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

// Sets the process time zone (TZ) for the scope of a test, so local calendar work is reproducible, and restores
// the old zone afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(std::string zone) : env_("TZ", std::move(zone)) { ::tzset(); }

 private:
  // Declared first so it is destroyed last: the zone is re-read only after EnvGuard has restored TZ.
  struct Reread {
    ~Reread() { ::tzset(); }
  } reread_;
  EnvGuard env_;
};

}  // namespace dapplewick::testing
