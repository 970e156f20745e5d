// A small thread-safe queue with an explicit end: any thread may push, one
// consumer takes. Ending it (with or without an error) still delivers every
// element pushed before the end. It may be bounded by a weight (the frames of
// audio buffers, say): past the bound the oldest elements are dropped.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace zorva {

template <typename T> class AsyncQueue {
public:
    enum class Status { item, ended, failed, timeout };
    using Weigh = std::function<std::size_t(const T&)>;

    AsyncQueue() = default;
    // Keeps at most `limit` of weight queued (but always the newest element).
    AsyncQueue(Weigh weigh, std::size_t limit) : weigh_(std::move(weigh)), limit_(limit) {}

    // False once the queue has ended; the element is dropped.
    bool push(T value) {
        {
            std::lock_guard g(lock_);
            if (ended_)
                return false;
            if (weigh_) {
                queued_ += weigh_(value);
                while (queued_ > limit_ && !items_.empty()) {
                    const std::size_t w = weigh_(items_.front());
                    queued_ -= w;
                    dropped_ += w;
                    items_.pop_front();
                }
                peak_ = std::max(peak_, queued_);
            }
            items_.push_back(std::move(value));
        }
        ready_.notify_one();
        return true;
    }

    // For a bounded queue: the weight dropped so far, and the most ever queued.
    std::size_t dropped() const {
        std::lock_guard g(lock_);
        return dropped_;
    }
    std::size_t peak() const {
        std::lock_guard g(lock_);
        return peak_;
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
            if (weigh_)
                queued_ -= weigh_(items_.front());
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
    Weigh weigh_;
    std::size_t limit_ = 0;
    std::size_t queued_ = 0;
    std::size_t dropped_ = 0;
    std::size_t peak_ = 0;
};

} // namespace zorva
