#include "Clock.h"

#include <atomic>
#include <ctime>

namespace zorva {

Instant ContinuousClock::now() const {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

const Clock& continuousClock() {
    static const ContinuousClock clock;
    return clock;
}

const StillClock& StillClock::instance() {
    static const StillClock clock;
    return clock;
}

namespace {
std::atomic<const Clock*> queueClockSource{nullptr};
}

QueueClock::time_point QueueClock::now() noexcept {
    const Clock* clock = queueClockSource.load(std::memory_order_acquire);
    return time_point((clock ? *clock : continuousClock()).now());
}

QueueClock::duration QueueWaitTraits::to_wait_duration(const QueueClock::duration& d) {
    if (queueClockSource.load(std::memory_order_acquire))
        return QueueClock::duration::zero();
    return d;
}

QueueClock::duration QueueWaitTraits::to_wait_duration(const QueueClock::time_point& t) {
    return to_wait_duration(t - QueueClock::now());
}

void setQueueClock(const Clock* clock) {
    queueClockSource.store(clock, std::memory_order_release);
}

} // namespace zorva
