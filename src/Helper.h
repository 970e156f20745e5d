// The helper's single controller. Every member runs on the main queue only.
#pragma once

#include "Protocol.h"
#include "Transport.h"
#include "platform/Clock.h"

#include <asio/io_context.hpp>
#include <functional>
#include <memory>

namespace zorva {

inline constexpr const char* kHelperVersion = "0.1.0";

// What the controller needs from the process around it; tests pass their own.
struct HelperEnvironment {
    asio::io_context& mainQueue;
    const Clock& clock;
    Instant launchInstant;
    SendFn send;
    std::function<void(int status)> exitProcess; // does not return in the real process
};

class Helper : public std::enable_shared_from_this<Helper> {
public:
    explicit Helper(HelperEnvironment env);

    // One decoded host message, on the main queue. Never blocks.
    void handle(AppMessage message);

    // Milliseconds from launch to now on the continuous clock, read afresh.
    int64_t millisecondsSinceLaunch() const;

private:
    HelperEnvironment env_;
    std::optional<Configure> configure_;
};

// Ends the process at once with `status`, running no destructors: other
// threads (reader, audio, recognisers) may still be inside their work.
[[noreturn]] void exitProcess(int status);

} // namespace zorva
