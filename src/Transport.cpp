#include "Transport.h"

#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace zorva {

void OutputChannel::send(const HelperMessage& message) {
    std::lock_guard guard(lock_);
    // Encoding runs under the lock too: one message, one line, in order.
    std::string line = encodeLine(message);
    if (line.empty() || broken_)
        return;
    writeAll(line);
}

bool OutputChannel::broken() const {
    std::lock_guard guard(lock_);
    return broken_;
}

void OutputChannel::writeAll(const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A host may hand us a non-blocking pipe: wait for room rather
            // than spin.
            pollfd pfd{fd_, POLLOUT, 0};
            ::poll(&pfd, 1, -1);
            continue;
        }
        broken_ = true; // EPIPE or another hard error: nobody can read us
        return;
    }
}

OutputChannel& standardOutput() {
    static OutputChannel channel(STDOUT_FILENO);
    return channel;
}

void send(const HelperMessage& message) {
    standardOutput().send(message);
}

LineReader::LineReader(int fd, std::size_t maxLineBytes)
    : fd_(fd), maxLineBytes_(maxLineBytes), chunk_(64 * 1024, '\0') {}

bool LineReader::fill() {
    for (;;) {
        ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
        if (n > 0) {
            chunkPos_ = 0;
            chunkLen_ = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

LineReader::Event LineReader::next() {
    // A line may carry one "\r" before its "\n"; keep room for it.
    const std::size_t keepAtMost = maxLineBytes_ + 1;
    for (;;) {
        if (chunkPos_ == chunkLen_) {
            if (ended_ || !fill()) {
                ended_ = true;
                if (discarding_) {
                    discarding_ = false;
                    return {Kind::oversized, {}};
                }
                if (!pending_.empty())
                    return {Kind::line, std::exchange(pending_, {})};
                return {Kind::end, {}};
            }
        }
        const char* begin = chunk_.data() + chunkPos_;
        const char* end = chunk_.data() + chunkLen_;
        const char* newline = static_cast<const char*>(memchr(begin, '\n', end - begin));
        const char* stop = newline ? newline : end;
        if (!discarding_) {
            pending_.append(begin, stop);
            if (pending_.size() > keepAtMost) {
                pending_.clear();
                pending_.shrink_to_fit();
                discarding_ = true;
            }
        }
        chunkPos_ = static_cast<std::size_t>((newline ? newline + 1 : end) - chunk_.data());
        if (!newline)
            continue;
        if (discarding_) {
            discarding_ = false;
            return {Kind::oversized, {}};
        }
        if (!pending_.empty() && pending_.back() == '\r')
            pending_.pop_back();
        return {Kind::line, std::exchange(pending_, {})};
    }
}

void runInputReader(int fd, asio::io_context& mainQueue, std::function<void(AppMessage)> handle,
                    const SendFn& send, std::function<void()> atEnd) {
    auto sharedHandle = std::make_shared<std::function<void(AppMessage)>>(std::move(handle));
    LineReader reader(fd);
    for (;;) {
        LineReader::Event event = reader.next();
        if (event.kind == LineReader::Kind::end)
            break;
        std::optional<AppMessage> message;
        if (event.kind == LineReader::Kind::line)
            message = decodeAppLine(event.text);
        if (!message) {
            send(HelperError{HelperError::Code::protocol, "malformed line", false, std::nullopt});
            continue;
        }
        asio::post(mainQueue, [sharedHandle, m = std::move(*message)]() mutable {
            (*sharedHandle)(std::move(m));
        });
    }
    asio::post(mainQueue, std::move(atEnd));
}

} // namespace zorva
