// A small thread-safe queue with an explicit end: any thread may push, one
// consumer takes. Ending it (with or without an error) still delivers every
// element pushed before the end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace zorva {

template <typename T> class AsyncQueue {
public:
    enum class Status { item, ended, failed, timeout };

    // False once the queue has ended; the element is dropped.
    bool push(T value) {
        {
            std::lock_guard g(lock_);
            if (ended_)
                return false;
            items_.push_back(std::move(value));
        }
        ready_.notify_one();
        return true;
    }

    // Ends the queue; later pushes are dropped. The first end wins.
    void finish(std::optional<std::string> error = std::nullopt) {
        {
            std::lock_guard g(lock_);
            if (ended_)
                return;
            ended_ = true;
            error_ = std::move(error);
        }
        ready_.notify_all();
    }

    // The next element, waiting at most `timeout` (forever without one).
    Status next(T& out, std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                std::string* error = nullptr) {
        std::unique_lock g(lock_);
        auto ready = [&] { return !items_.empty() || ended_; };
        if (timeout) {
            if (!ready_.wait_for(g, *timeout, ready))
                return Status::timeout;
        } else {
            ready_.wait(g, ready);
        }
        if (!items_.empty()) {
            out = std::move(items_.front());
            items_.pop_front();
            return Status::item;
        }
        if (error && error_)
            *error = *error_;
        return error_ ? Status::failed : Status::ended;
    }

private:
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool ended_ = false;
    std::optional<std::string> error_;
};

} // namespace zorva
