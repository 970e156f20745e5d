// Runs session operations one at a time, in the order they were enqueued, as
// coroutines on the main queue: each starts only after the previous one has
// finished, waiting points included. The main queue stays free meanwhile.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <functional>
#include <memory>
#include <type_traits>

namespace zorva {

class SessionQueue {
public:
    using Operation = std::function<asio::awaitable<void>()>;

    explicit SessionQueue(asio::io_context& mainQueue) : mainQueue_(mainQueue) {}

    // Main queue only. Nothing is ever cancelled; only the newest is kept.
    void enqueue(Operation operation);

private:
    struct Completion;
    asio::io_context& mainQueue_;
    std::shared_ptr<Completion> last_;
};

// Runs blocking `work` on the worker pool; awaiting the result resumes the
// awaiting coroutine on its own executor (the main queue). Not a coroutine
// itself: GCC 12 destroys by-value callable parameters of coroutines twice.
template <typename F> auto offMainQueue(asio::thread_pool& workers, F work) {
    using Result = std::invoke_result_t<F>;
    return asio::co_spawn(
        workers,
        [work = std::move(work)]() mutable -> asio::awaitable<Result> { co_return work(); },
        asio::use_awaitable);
}

} // namespace zorva
