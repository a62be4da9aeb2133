#pragma once

#include "common/timestamp.hpp"

namespace dapplewick {

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
