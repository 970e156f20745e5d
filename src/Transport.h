// The helper's two byte pipes to the host: whole-line output under one lock,
// and the input reader that turns host lines into messages.
#pragma once

#include "Protocol.h"

#include <asio/io_context.hpp>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zorva {

using SendFn = std::function<void(const HelperMessage&)>;

// Writes encoded lines to one file descriptor. send() may be called from any
// thread at any time: each line is written whole under the lock, so lines never
// interleave. Nothing else may write to the descriptor.
//
// A closed reading end (EPIPE) marks the channel broken: that line and every
// later one are dropped, since no host can read them. The process keeps
// serving until end of input or shutdown. SIGPIPE must be ignored by the
// process so that the write fails instead of killing it mid-line.
class OutputChannel {
public:
    explicit OutputChannel(int fd) : fd_(fd) {}
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;

    void send(const HelperMessage& message);
    bool broken() const;

private:
    void writeAll(const std::string& bytes); // caller holds lock_

    int fd_;
    mutable std::mutex lock_;
    bool broken_ = false;
};

// The process-wide channel on standard output, and the function every
// helper-to-host message goes through.
OutputChannel& standardOutput();
void send(const HelperMessage& message);

// Splits a byte stream, in pieces of any size, into lines with bounded
// memory. A line longer than `maxLineBytes` (its terminator not counted) is
// discarded while it streams in and reported once as `oversized`.
class LineFramer {
public:
    enum class Kind { line, oversized, end };
    struct Event {
        Kind kind;
        std::string text; // the line without "\n" or "\r\n" when kind is line
    };

    explicit LineFramer(std::size_t maxLineBytes = kMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

    // Consumes `bytes` up to and including the first line feed, and returns
    // that line; consumes them all and returns nothing when there is none.
    std::optional<Event> take(std::string_view& bytes);
    // At end of input: the unterminated last line, if any, then `end`.
    Event finish();

private:
    Event complete();

    std::size_t maxLineBytes_;
    std::string pending_;
    bool discarding_ = false;
};

// Blocking reader of host lines from a file descriptor (a non-blocking one
// is waited on). Single-threaded: one reader per fd.
class LineReader {
public:
    using Kind = LineFramer::Kind;
    using Event = LineFramer::Event;

    explicit LineReader(int fd, std::size_t maxLineBytes = kMaxLineBytes);
    Event next();

private:
    bool fill(); // false at end of input or on a read error

    int fd_;
    LineFramer framer_;
    std::string chunk_;
    std::string_view unread_;
    bool ended_ = false;
};

// The input reader's body: reads lines from `fd` until end of input. Each
// decoded message is posted to `mainQueue` as a call of `handle`, in line
// order; an undecodable line is answered at once from this thread with the
// "malformed line" protocol error through `send`. At end of input `atEnd` is
// posted to the main queue, after every message posted before it. At most
// `maxPosted` messages wait on the main queue; beyond that the reader stops
// reading until the queue has handled some.
void runInputReader(int fd, asio::io_context& mainQueue, std::function<void(AppMessage)> handle,
                    const SendFn& send, std::function<void()> atEnd, std::size_t maxPosted = 1024);

} // namespace zorva
