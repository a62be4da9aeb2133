#pragma once

#include <chrono>

namespace dapplewick {

// Every instant the system handles: milliseconds since 1970-01-01 00:00:00 UTC.
using Timestamp = std::chrono::sys_time<std::chrono::milliseconds>;

// The source of "now". Services take it as a constructor argument so tests can fix the time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Timestamp now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Timestamp now() const override;
};

// A clock that always answers the instant it was given (tests, benchmarks).
class FixedClock final : public Clock {
 public:
  explicit FixedClock(Timestamp instant) : instant_(instant) {}
  Timestamp now() const override { return instant_; }

 private:
  Timestamp instant_;
};

}  // namespace dapplewick
