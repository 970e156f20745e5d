#include "SessionQueue.h"

#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <exception>

namespace zorva {

// Signals that one operation has ended: a timer that never fires by itself,
// cancelled to wake the operation waiting behind it.
struct SessionQueue::Completion {
    explicit Completion(asio::io_context& io) : wake(io, asio::steady_timer::time_point::max()) {}
    bool finished = false;
    asio::steady_timer wake;
};

void SessionQueue::enqueue(Operation operation) {
    auto previous = last_;
    auto done = std::make_shared<Completion>(mainQueue_);
    last_ = done;
    asio::co_spawn(
        mainQueue_,
        [previous, done, operation = std::move(operation)]() -> asio::awaitable<void> {
            if (previous && !previous->finished) {
                std::error_code ignored;
                co_await previous->wake.async_wait(
                    asio::redirect_error(asio::use_awaitable, ignored));
            }
            try {
                auto running = operation();
                co_await std::move(running);
            } catch (const std::exception& e) {
                // A detached coroutine would swallow this; say it at least.
                std::fprintf(stderr, "session operation failed: %s\n", e.what());
            }
            done->finished = true;
            done->wake.cancel();
        },
        asio::detached);
}

} // namespace zorva
