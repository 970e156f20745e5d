#include "Transport.h"

#include <asio/io_context.hpp>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace zorva;

namespace {

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0)
            ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
};

std::string readAll(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// Writes `data` from another thread so the reader can block on the pipe.
std::thread writer(Pipe& p, std::string data,
                   std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return std::thread([&p, data = std::move(data), delay] {
        std::this_thread::sleep_for(delay);
        const char* s = data.data();
        std::size_t left = data.size();
        while (left > 0) {
            ssize_t n = ::write(p.write, s, std::min<std::size_t>(left, 4096));
            if (n <= 0)
                break;
            s += n;
            left -= static_cast<std::size_t>(n);
        }
        p.closeWrite();
    });
}

TEST(OutputChannel, ConcurrentSendersProduceOnlyWholeLines) {
    Pipe p;
    // Large lines (well over the pipe's atomic-write size) make interleaving
    // visible if the lock were missing.
    std::string text(20000, 'x');
    OutputChannel channel(p.write);
    std::thread drain;
    std::string output;
    drain = std::thread([&] { output = readAll(p.read); });
    constexpr int threads = 8, perThread = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                channel.send(PartialText{"s" + std::to_string(t), StreamName::mic, text, i});
        });
    for (auto& s : senders)
        s.join();
    p.closeWrite();
    drain.join();

    std::istringstream lines(output);
    std::string line;
    std::vector<int> next(threads, 0);
    int count = 0;
    while (std::getline(lines, line)) {
        auto j = nlohmann::json::parse(line); // a torn line would not parse
        int t = std::stoi(j["sessionId"].get<std::string>().substr(1));
        EXPECT_EQ(j["startMs"], next[t]++) << "lines of one thread stay in order";
        EXPECT_EQ(j["text"].get<std::string>().size(), text.size());
        ++count;
    }
    EXPECT_EQ(count, threads * perThread);
    EXPECT_EQ(output.back(), '\n');
}

TEST(OutputChannel, UnencodableMessageWritesNothingAndLaterLinesFlow) {
    Pipe p;
    OutputChannel channel(p.write);
    channel.send(Model{"en-US", Model::Status::downloading, std::nan("")});
    channel.send(Pong{7});
    p.closeWrite();
    EXPECT_EQ(readAll(p.read), "{\"t\":7,\"type\":\"pong\"}\n");
}

TEST(OutputChannel, BrokenPipeStopsWritingWithoutSignalOrSpin) {
    std::signal(SIGPIPE, SIG_IGN); // as the helper's main does
    Pipe p;
    p.closeRead();
    OutputChannel channel(p.write);
    EXPECT_FALSE(channel.broken());
    channel.send(Pong{1}); // must return, not kill the process
    EXPECT_TRUE(channel.broken());
    channel.send(Pong{2});
    EXPECT_TRUE(channel.broken());
}

TEST(OutputChannel, NonBlockingPipeThatFillsUpStillGetsWholeLines) {
    Pipe p;
    ::fcntl(p.write, F_SETFL, ::fcntl(p.write, F_GETFL) | O_NONBLOCK);
    OutputChannel channel(p.write);
    std::string text(100000, 'y'); // larger than the pipe buffer
    std::thread sender([&] {
        for (int i = 0; i < 5; ++i)
            channel.send(PartialText{"s", StreamName::others, text, i});
        p.closeWrite();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the pipe fill
    std::string output = readAll(p.read);
    sender.join();
    std::istringstream lines(output);
    std::string line;
    int count = 0;
    while (std::getline(lines, line))
        EXPECT_EQ(nlohmann::json::parse(line)["startMs"], count++);
    EXPECT_EQ(count, 5);
}

std::vector<LineReader::Event> readEvents(const std::string& input, std::size_t limit,
                                          bool nonBlocking = false) {
    Pipe p;
    if (nonBlocking)
        ::fcntl(p.read, F_SETFL, ::fcntl(p.read, F_GETFL) | O_NONBLOCK);
    // With a non-blocking pipe the reader finds it empty first.
    auto w = writer(p, input, std::chrono::milliseconds(nonBlocking ? 50 : 0));
    LineReader reader(p.read, limit);
    std::vector<LineReader::Event> events;
    for (;;) {
        auto e = reader.next();
        events.push_back(e);
        if (e.kind == LineReader::Kind::end)
            break;
    }
    w.join();
    return events;
}

using Kind = LineReader::Kind;

void expectEvents(const std::vector<LineReader::Event>& got,
                  const std::vector<std::pair<Kind, std::string>>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, want[i].first) << i;
        EXPECT_EQ(got[i].text, want[i].second) << i;
    }
}

TEST(LineReader, SplitsLinesAndStripsTerminators) {
    expectEvents(readEvents("a\nb\r\n\n \r\nlast", 100), {{Kind::line, "a"},
                                                          {Kind::line, "b"},
                                                          {Kind::line, ""},
                                                          {Kind::line, " "},
                                                          {Kind::line, "last"},
                                                          {Kind::end, ""}});
    expectEvents(readEvents("", 100), {{Kind::end, ""}});
    expectEvents(readEvents("x\r\r\n", 100), {{Kind::line, "x\r"}, {Kind::end, ""}});
    // A host may hand over a non-blocking pipe: an empty pipe is not the end.
    expectEvents(readEvents("a\nb", 100, /*nonBlocking=*/true),
                 {{Kind::line, "a"}, {Kind::line, "b"}, {Kind::end, ""}});
}

TEST(LineReader, LongLinesAreDiscardedOnceAndReadingGoesOn) {
    std::string limitLine(10, 'a');
    expectEvents(
        readEvents(limitLine + "\n" + limitLine + "\r\n" + std::string(12, 'b') + "\nok\n", 10),
        {{Kind::line, limitLine},
         {Kind::line, limitLine},
         {Kind::oversized, ""},
         {Kind::line, "ok"},
         {Kind::end, ""}});
    // An over-long last line without a newline is still reported once.
    expectEvents(readEvents("ok\n" + std::string(300000, 'c'), 10),
                 {{Kind::line, "ok"}, {Kind::oversized, ""}, {Kind::end, ""}});
    // Spanning many read chunks.
    expectEvents(readEvents(std::string(1 << 20, 'd') + "\nz\n", kMaxLineBytes),
                 {{Kind::oversized, ""}, {Kind::line, "z"}, {Kind::end, ""}});
}

TEST(InputReader, PostsMessagesInOrderAnswersBadLinesAndEndsOnTheQueue) {
    Pipe p;
    auto w = writer(p, "{\"type\":\"ping\"}\n\n{\"type\":\"nope\"}\n" + std::string(70000, 'x') +
                           "\n{\"type\":\"stop\",\"sessionId\":\"s\"}");
    asio::io_context queue;
    std::vector<AppMessage> handled;
    std::vector<HelperMessage> sent;
    bool ended = false;
    std::thread reader([&] {
        runInputReader(
            p.read, queue, [&](AppMessage m) { handled.push_back(std::move(m)); },
            [&](const HelperMessage& m) { sent.push_back(m); },
            [&] {
                ended = true;
                EXPECT_EQ(handled.size(), 3u) << "end runs after every message posted before it";
            });
    });
    reader.join();
    w.join();
    EXPECT_TRUE(handled.empty()) << "nothing runs until the main queue does";
    queue.run();
    EXPECT_TRUE(ended);
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled[0], AppMessage(Ping{}));
    EXPECT_EQ(handled[1], AppMessage(Unknown{"nope"}));
    EXPECT_EQ(handled[2], AppMessage(Stop{{"s"}}));
    HelperMessage malformed =
        HelperError{HelperError::Code::protocol, "malformed line", false, std::nullopt};
    EXPECT_EQ(sent, (std::vector<HelperMessage>{malformed, malformed}));
}

} // namespace

namespace {

TEST(InputReader, StopsReadingWhileTooManyMessagesWaitForTheMainQueue) {
    Pipe p;
    std::string pings;
    for (int i = 0; i < 5; ++i)
        pings += "{\"type\":\"ping\"}\n";
    auto w = writer(p, pings);
    asio::io_context queue;
    int handled = 0;
    bool ended = false;
    std::atomic<bool> readerReturned{false};
    std::thread reader([&] {
        runInputReader(
            p.read, queue, [&](AppMessage) { ++handled; }, [](const HelperMessage&) {},
            [&] { ended = true; }, /*maxPosted=*/2);
        readerReturned = true;
    });
    w.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(readerReturned) << "it waits for the queue with three messages unposted";
    while (!ended) {
        queue.run_one_for(std::chrono::milliseconds(100));
        queue.restart();
    }
    reader.join();
    EXPECT_EQ(handled, 5);
}

} // namespace
