#include "Transport.h"

#include <asio/post.hpp>
#include <cerrno>
#include <condition_variable>
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

std::optional<LineFramer::Event> LineFramer::take(std::string_view& bytes) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    bytes.remove_prefix(newline == std::string_view::npos ? bytes.size() : newline + 1);
    if (!discarding_) {
        // Room for one "\r" before the "\n".
        if (pending_.size() + piece.size() > maxLineBytes_ + 1) {
            pending_.clear();
            pending_.shrink_to_fit();
            discarding_ = true;
        } else {
            pending_.append(piece);
        }
    }
    if (newline == std::string_view::npos)
        return std::nullopt;
    if (!discarding_ && !pending_.empty() && pending_.back() == '\r')
        pending_.pop_back();
    return complete();
}

LineFramer::Event LineFramer::finish() {
    if (discarding_ || !pending_.empty())
        return complete();
    return {Kind::end, {}};
}

LineFramer::Event LineFramer::complete() {
    if (discarding_ || pending_.size() > maxLineBytes_) {
        discarding_ = false;
        pending_.clear();
        return {Kind::oversized, {}};
    }
    return {Kind::line, std::exchange(pending_, {})};
}

LineReader::LineReader(int fd, std::size_t maxLineBytes)
    : fd_(fd), framer_(maxLineBytes), chunk_(64 * 1024, '\0') {}

bool LineReader::fill() {
    for (;;) {
        ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
        if (n > 0) {
            unread_ = std::string_view(chunk_.data(), static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A host may hand us a non-blocking pipe: no data yet is not the
            // end of input.
            pollfd pfd{fd_, POLLIN, 0};
            ::poll(&pfd, 1, -1);
            continue;
        }
        return false;
    }
}

LineReader::Event LineReader::next() {
    for (;;) {
        if (unread_.empty()) {
            if (ended_ || !fill()) {
                ended_ = true;
                return framer_.finish();
            }
        }
        if (auto event = framer_.take(unread_))
            return std::move(*event);
    }
}

namespace {

// Messages posted to the main queue and not yet handled. The reader waits
// while there are too many, so that a host that writes much faster than we
// answer (or stops reading our answers) fills its own pipe, not our memory.
class PostedMessages {
public:
    void waitForRoom(std::size_t limit) {
        std::unique_lock g(lock_);
        room_.wait(g, [&] { return count_ < limit; });
        ++count_;
    }
    void handled() {
        {
            std::lock_guard g(lock_);
            --count_;
        }
        room_.notify_one();
    }

private:
    std::mutex lock_;
    std::condition_variable room_;
    std::size_t count_ = 0;
};

} // namespace

void runInputReader(int fd, asio::io_context& mainQueue, std::function<void(AppMessage)> handle,
                    const SendFn& send, std::function<void()> atEnd, std::size_t maxPosted) {
    auto sharedHandle = std::make_shared<std::function<void(AppMessage)>>(std::move(handle));
    auto posted = std::make_shared<PostedMessages>();
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
        posted->waitForRoom(maxPosted);
        asio::post(mainQueue, [sharedHandle, posted, m = std::move(*message)]() mutable {
            posted->handled();
            (*sharedHandle)(std::move(m));
        });
    }
    asio::post(mainQueue, std::move(atEnd));
}

} // namespace zorva
