// A clock that moves only when the test moves it. Safe to read from any thread.
#pragma once

#include "../Clock.h"

#include <atomic>

namespace zorva::fake {

class ManualClock final : public Clock {
public:
    explicit ManualClock(Instant start = Instant{0}) : now_(start.count()) {}
    Instant now() const override { return Instant{now_.load()}; }
    void set(Instant t) { now_.store(t.count()); }
    void advance(std::chrono::nanoseconds d) { now_.fetch_add(d.count()); }

private:
    std::atomic<int64_t> now_;
};

} // namespace zorva::fake
