#include "Helper.h"
#include "support/HelperHarness.h"

#include <gtest/gtest.h>
#include <system_error>
#include <thread>

using namespace zorva;
using namespace std::chrono_literals;

namespace {

struct HelperTest : ::testing::Test, test::HelperHarness {
    std::size_t taken = 0;
    // Messages sent since the last take.
    std::vector<HelperMessage> take() {
        auto all = messages();
        std::vector<HelperMessage> fresh(all.begin() + static_cast<long>(taken), all.end());
        taken = all.size();
        return fresh;
    }
    void runFor(std::chrono::milliseconds d) { advance(d); }

    static Configure conf(int64_t hold, int64_t grace) {
        return Configure{{{"Conf", {"org.example."}}}, {}, {}, "en-US", hold, grace, false};
    }
};

TEST_F(HelperTest, PongCarriesTruncatedMillisecondsSinceLaunch) {
    helper->handle(Ping{});
    clock.advance(1500ms + 999999ns);
    helper->handle(Ping{});
    EXPECT_EQ(take(), (std::vector<HelperMessage>{Pong{0}, Pong{1500}}));
}

TEST_F(HelperTest, ShutdownExitsWithZeroAndSendsNothing) {
    helper->handle(Shutdown{});
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_TRUE(messages().empty());
}

TEST_F(HelperTest, NothingTicksBeforeConfigureAndUnknownKindsDoNothing) {
    hardware.setProcess(10, {100, "org.example.conf", 1});
    helper->handle(Unknown{"dance"});
    helper->handle(Stop{{"s"}});
    runFor(10s);
    EXPECT_EQ(hardware.listQueries(), 0);
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(exits.empty());
}

TEST_F(HelperTest, FirstTickRightAfterConfigureThenEveryTwoSecondsWithOneTimer) {
    helper->handle(conf(1000, 2000));
    EXPECT_EQ(hardware.listQueries(), 0) << "the tick runs after the current work item";
    queue.poll();
    EXPECT_EQ(hardware.listQueries(), 1);
    runFor(1900ms);
    EXPECT_EQ(hardware.listQueries(), 1);
    helper->handle(conf(1000, 2000)); // no second timer
    runFor(100ms);
    EXPECT_EQ(hardware.listQueries(), 2);
    runFor(6000ms);
    EXPECT_EQ(hardware.listQueries(), 5);
    // After an hour of sleep the missed ticks are skipped, not run back to back.
    clock.advance(1h);
    for (int i = 0; i < 3; ++i) {
        queue.poll();
        queue.restart();
    }
    EXPECT_EQ(hardware.listQueries(), 6);
    runFor(2000ms);
    EXPECT_EQ(hardware.listQueries(), 7);
}

TEST_F(HelperTest, CallStartsAfterHoldAndEndsWithMicReleasedThenAppQuit) {
    hardware.setProcess(10, {100, "org.example.conf", 1});
    hardware.setProcess(11, {101, "org.example.player", 0});
    hardware.setProcess(12, {102, "org.unrelated", 1});
    helper->handle(conf(3000, 4000));
    runFor(3900ms); // ticks at 0 and 2 s: hold not yet reached
    EXPECT_TRUE(take().empty());
    runFor(100ms); // tick at 4 s
    EXPECT_EQ(take(), (std::vector<HelperMessage>{Call{Call::State::started,
                                                       "Conf",
                                                       "org.example.conf",
                                                       {100, 101},
                                                       4000,
                                                       std::nullopt,
                                                       4000}}));
    hardware.setRunningInput(10, 0);
    runFor(3900ms); // tick at 6 s: last input at 4 s, grace not over
    hardware.setRunningInput(10, 1);
    runFor(200ms); // tick at 8 s sees input again
    hardware.setRunningInput(10, 0);
    runFor(3800ms); // tick at 10 s
    EXPECT_TRUE(take().empty());
    runFor(200ms); // tick at 12 s: exactly the grace since the last input
    EXPECT_EQ(take(), (std::vector<HelperMessage>{Call{Call::State::ended,
                                                       "Conf",
                                                       "org.example.conf",
                                                       {100, 101},
                                                       std::nullopt,
                                                       Call::Reason::micReleased,
                                                       12000}}));
    // A second call, then the app quits.
    hardware.setRunningInput(10, 1);
    runFor(6000ms);
    ASSERT_EQ(take().size(), 1u);
    hardware.removeProcess(10);
    hardware.removeProcess(11);
    runFor(6000ms);
    auto ended = take();
    ASSERT_EQ(ended.size(), 1u);
    const auto& call = std::get<Call>(ended[0]);
    EXPECT_EQ(call.reason, Call::Reason::appQuit);
    EXPECT_TRUE(call.pids.empty());
    EXPECT_FALSE(call.sinceMicStartMs);
}

TEST_F(HelperTest, NewConfigureDuringACallForgetsItAndStartsAgainAfterTheNewHold) {
    hardware.setProcess(10, {100, "org.example.conf", 1});
    helper->handle(conf(0, 10000));
    queue.poll();
    ASSERT_EQ(take().size(), 1u); // started at once
    runFor(1000ms);
    helper->handle(conf(5000, 10000));
    runFor(4900ms); // ticks at 2, 4 s (new detector: input first seen at 2 s)
    EXPECT_TRUE(take().empty()) << "no ended for the forgotten call";
    runFor(2200ms); // tick at 8 s: 6 s held? no: first seen at 2 s -> 6000 >= 5000
    EXPECT_EQ(
        take(),
        (std::vector<HelperMessage>{Call{
            Call::State::started, "Conf", "org.example.conf", {100}, 6000, std::nullopt, 8000}}));
}

} // namespace

namespace {

TEST(HelperModel, PrepareModelUsesTheConfiguredLocaleElseEnIn) {
    test::HelperHarness h;
    h.speech.supportLocale("en-IN", "en-IN");
    h.speech.supportLocale("de-DE", "de-DE");
    auto& helper = h.helper;
    auto& sent = h.sent;
    auto& speech = h.speech;
    auto waitFor = [&](std::size_t count) {
        for (int i = 0; i < 500 && sent.messages().size() < count; ++i)
            std::this_thread::sleep_for(10ms);
        return sent.messages();
    };
    helper->handle(PrepareModel{});
    EXPECT_EQ(waitFor(1),
              (std::vector<HelperMessage>{Model{"en-IN", Model::Status::installed, 1.0}}));
    helper->handle(Configure{{}, {}, {}, "de-DE", 0, 0, false});
    helper->handle(PrepareModel{});
    auto m = waitFor(2);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1], HelperMessage(Model{"de-DE", Model::Status::installed, 1.0}));
    for (int i = 0; i < 500 && speech.reserved().size() < 2; ++i)
        std::this_thread::sleep_for(10ms); // the request's thread ends after reserving

    // A request whose thread cannot be made is answered, not fatal.
    h.runDetached = [](std::function<void()>) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread");
    };
    helper->handle(PrepareModel{});
    EXPECT_EQ(sent.messages().back(),
              HelperMessage(
                  HelperError{HelperError::Code::modelUnsupported,
                              "cannot prepare the model: thread: Resource temporarily unavailable",
                              false, std::nullopt}));
}

} // namespace
