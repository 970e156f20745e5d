// The continuous monotonic clock: keeps counting while the machine sleeps.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace zorva {

// An instant on the continuous clock, as a duration since the clock's origin.
using Instant = std::chrono::nanoseconds;

// Whole milliseconds from `from` to `to`, truncated toward zero.
inline int64_t millisecondsBetween(Instant from, Instant to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// Source of "now". The real clock may be read from any thread; test clocks
// document their own rules.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

// CLOCK_BOOTTIME: monotonic and counting across suspend.
class ContinuousClock final : public Clock {
public:
    Instant now() const override;
};

// The process-wide continuous clock.
const Clock& continuousClock();

} // namespace zorva
