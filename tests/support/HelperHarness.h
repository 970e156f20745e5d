// The controller with every platform substituted, on a main queue that the
// test drives: time moves only when the test moves the manual clock.
#pragma once

#include "Helper.h"
#include "Recorder.h"
#include "platform/fake/FakeAudioEngine.h"
#include "platform/fake/FakeAudioHardware.h"
#include "platform/fake/FakeSpeech.h"
#include "platform/fake/ManualClock.h"

#include <asio/thread_pool.hpp>
#include <chrono>
#include <thread>

namespace zorva::test {

struct HelperHarness {
    asio::io_context queue;
    fake::ManualClock clock{std::chrono::seconds(5) + std::chrono::nanoseconds(123)};
    fake::FakeAudioHardware hardware;
    fake::FakeSpeechPlatform speech;
    fake::FakeMicrophoneSystem microphone{queue};
    asio::thread_pool workers{2};
    Recorder sent;
    std::vector<int> exits; // main queue only
    int uuids = 0;
    std::function<void(std::function<void()>)> runDetached = runDetachedThread;
    std::shared_ptr<Helper> helper;

    explicit HelperHarness(bool supportUsEnglish = true) {
        setQueueClock(&clock);
        if (supportUsEnglish)
            speech.supportLocale("en-US", "en-US");
        TranscriberTiming timing{std::chrono::seconds(5), std::chrono::seconds(1),
                                 std::chrono::milliseconds(500)};
        helper = std::make_shared<Helper>(HelperEnvironment{
            queue, clock, clock.now(), sent.sendFn(), [this](int s) { exits.push_back(s); },
            hardware, speech, microphone, workers,
            TranscriberEnvironment{speech, clock, [](std::string_view) {}, timing},
            [this] { return "00000000-0000-4000-8000-" + std::to_string(100000000000 + ++uuids); },
            [this](std::function<void()> work) { runDetached(std::move(work)); }});
    }
    ~HelperHarness() {
        helper.reset();
        workers.join();
        setQueueClock(nullptr);
    }

    // Runs the main queue until `done` holds (real time, bounded).
    template <typename Pred>
    bool runUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            queue.poll();
            queue.restart();
            if (done())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Runs the main queue for a while (for things that must not happen).
    void runFor(std::chrono::milliseconds d) {
        runUntil([] { return false; }, d);
    }
    // Moves time forward in small steps, running whatever falls due.
    void advance(std::chrono::milliseconds d) {
        queue.poll();
        queue.restart();
        for (auto left = d; left > std::chrono::milliseconds(0);
             left -= std::chrono::milliseconds(100)) {
            clock.advance(std::min(left, std::chrono::milliseconds(100)));
            queue.poll();
            queue.restart();
        }
    }
    std::vector<HelperMessage> messages() const { return sent.messages(); }
};

} // namespace zorva::test
