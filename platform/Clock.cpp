#include "Clock.h"

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

} // namespace zorva
