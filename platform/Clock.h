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

// A clock that stands still: for audio read from files, where what each
// stream has given says when, not the time it took to read.
class StillClock final : public Clock {
public:
    Instant now() const override { return Instant{0}; }
    static const StillClock& instance();
};

// The clock of the main queue's timers (asio::basic_waitable_timer<QueueClock>).
// It reads the continuous clock unless a test installs its own clock, so that
// a test can drive the main queue's timers by moving time.
struct QueueClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<QueueClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// How long the main queue's reactor sleeps before it looks at its timers.
// Real time passes as the clock says; a test clock only moves when the test
// moves it, so the reactor must look again at every turn instead of sleeping.
struct QueueWaitTraits {
    static QueueClock::duration to_wait_duration(const QueueClock::duration& d);
    static QueueClock::duration to_wait_duration(const QueueClock::time_point& t);
};

// Tests only: the clock QueueClock reads; nullptr restores the continuous one.
void setQueueClock(const Clock* clock);

} // namespace zorva
