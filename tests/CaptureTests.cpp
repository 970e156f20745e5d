#include "Capture.h"
#include "platform/EchoCanceller.h"
#include "platform/fake/FakeAudioEngine.h"
#include "platform/fake/FakeAudioHardware.h"
#include "platform/fake/ManualClock.h"
#include "platform/pulse/PacedRing.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace zorva;
using Calls = std::vector<std::string>;

namespace {

struct MicTest : ::testing::Test {
    asio::io_context queue;
    fake::FakeMicrophoneSystem system{queue};
    std::atomic<int> buffers{0};
    std::vector<std::string> failures;
    std::shared_ptr<MicCapture> mic = std::make_shared<MicCapture>(
        system.makeEngine(), [this](const PcmBuffer&) { ++buffers; },
        [this](const std::string& error) { failures.push_back(error); });
    std::shared_ptr<fake::FakeAudioEngine> engine = system.engines().at(0);
};

TEST_F(MicTest, StopOnANeverStartedCaptureOnlyStopsTheEngineAndTwiceIsHarmless) {
    mic->stop();
    mic->stop();
    EXPECT_EQ(engine->calls(), (Calls{"stop", "stop"}));
}

TEST_F(MicTest, ConfigurationChangeRestartsAndAcceptsTheNewFormat) {
    ASSERT_TRUE(std::holds_alternative<MicInfo>(mic->start()));
    PcmBuffer mono({AudioFormat::Sample::float32, 48000, 1, false}, 480);
    std::thread([&] { engine->push(mono); }).join();
    engine->setInputFormat({AudioFormat::Sample::float32, 44100, 2, false});
    engine->fireConfigurationChange();
    queue.run();
    queue.restart();
    EXPECT_EQ(engine->calls(),
              (Calls{"inputFormat", "installTap 4800", "prepare", "start", "addObserver",
                     "removeObserver", "stop", "removeTap", "inputFormat", "installTap 4800",
                     "prepare", "start", "addObserver"}));
    PcmBuffer stereo({AudioFormat::Sample::float32, 44100, 2, false}, 441);
    std::thread([&] { engine->push(stereo); }).join();
    EXPECT_EQ(buffers, 2);
    EXPECT_TRUE(mic->observing());
}

TEST_F(MicTest, ANotificationQueuedBeforeStopDoesNothing) {
    ASSERT_TRUE(std::holds_alternative<MicInfo>(mic->start()));
    engine->fireConfigurationChange(); // queued on the main queue
    mic->stop();
    const auto before = engine->calls().size();
    queue.run();
    EXPECT_EQ(engine->calls().size(), before);
    EXPECT_FALSE(mic->tapped());
}

TEST_F(MicTest, AFailedRestartIsReportedOnceAndTheNextChangeRestarts) {
    ASSERT_TRUE(std::holds_alternative<MicInfo>(mic->start()));
    auto change = [&] {
        engine->fireConfigurationChange();
        queue.run();
        queue.restart();
    };
    engine->setInputFormat({AudioFormat::Sample::float32, 0, 0, false}); // device gone
    change();
    change(); // still gone: not reported again
    EXPECT_EQ(failures, std::vector<std::string>{kNoInputDescription});
    EXPECT_FALSE(mic->tapped());
    EXPECT_TRUE(mic->observing()) << "still listening for the device to come back";
    EXPECT_EQ(engine->observers(), 1u);
    EXPECT_FALSE(engine->push(PcmBuffer({AudioFormat::Sample::float32, 48000, 1, false}, 10)));

    engine->setInputFormat({AudioFormat::Sample::float32, 16000, 1, false}); // back
    change();
    EXPECT_TRUE(mic->tapped());
    EXPECT_TRUE(engine->push(PcmBuffer({AudioFormat::Sample::float32, 16000, 1, false}, 10)));
    EXPECT_EQ(buffers, 1);
    engine->failStart("device busy"); // a new failure after a success is news again
    change();
    EXPECT_EQ(failures, (std::vector<std::string>{kNoInputDescription, "device busy"}));
    mic->stop();
    EXPECT_EQ(engine->observers(), 0u);
}

struct TapTest : ::testing::Test {
    fake::FakeAudioHardware hardware;
    std::vector<std::vector<float>> delivered;
    std::vector<AudioFormat> formats;
    int uuids = 0;
    std::shared_ptr<TapCapture> tap = std::make_shared<TapCapture>(
        hardware,
        [this](const PcmBuffer& b) {
            formats.push_back(b.format());
            std::vector<float> all;
            for (const float* plane : b.floatChannelData())
                all.insert(all.end(), plane, plane + b.samplesPerPlane(b.frameLength()));
            delivered.push_back(all);
        },
        [this] { return "UUID-" + std::to_string(++uuids); });
};

TEST_F(TapTest, InterleavedStereoIsCopiedFromItsOnePlaneOnly) {
    hardware.setTapFormat(
        {48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0});
    auto result = tap->start(std::nullopt, {}, {}, {});
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(result));
    std::vector<float> samples{0.1f, -0.1f, 0.2f, -0.2f};
    std::vector<float> extra{9, 9, 9, 9}; // a plane the format does not have
    std::thread([&] {
        hardware.pushCycle(AudioBufferList{{{2, 16, samples.data()}, {2, 16, extra.data()}}});
    }).join();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], samples);
    EXPECT_TRUE(formats[0].interleaved);
    EXPECT_EQ(formats[0].channels, 2u);
}

TEST_F(TapTest, NonInterleavedPlanesBeyondTheCycleAreLeftAlone) {
    hardware.setTapFormat({48000, kAudioFormatLinearPCM,
                           kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 1, 4, 2,
                           32, 0});
    ASSERT_TRUE(
        std::holds_alternative<OthersInfo>(tap->start(std::vector<AudioObjectID>{}, {}, {}, {})));
    std::vector<float> left{0.5f, 0.25f};
    std::thread([&] {
        hardware.pushCycle(AudioBufferList{{{1, 8, left.data()}}});
        hardware.pushCycle(AudioBufferList{{{1, 8, left.data()}, {1, 8, nullptr}}});
    }).join();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0], (std::vector<float>{0.5f, 0.25f, 0, 0}))
        << "the missing plane stays silent";
    EXPECT_EQ(delivered[1], delivered[0]) << "so does a plane without data";
}

TEST_F(TapTest, IntegerTapFormatDeliversNothingAndStopTwiceIsHarmless) {
    hardware.setTapFormat({48000, kAudioFormatLinearPCM, 0, 2, 1, 2, 1, 16, 0});
    auto result = tap->start(std::vector<AudioObjectID>{5}, {"a"}, {50}, {});
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(result));
    EXPECT_EQ(std::get<OthersInfo>(result).processes, std::vector<int32_t>{50});
    EXPECT_EQ(std::get<OthersInfo>(result).tapUID, "UUID-1");
    std::vector<int16_t> samples(64, 100);
    hardware.pushCycle(AudioBufferList{{{1, 128, samples.data()}}});
    EXPECT_TRUE(delivered.empty());
    tap->stop();
    const auto calls = hardware.tapCalls().size();
    tap->stop();
    EXPECT_EQ(hardware.tapCalls().size(), calls);
    ASSERT_TRUE(tap->description());
    EXPECT_EQ(tap->description()->processes, std::vector<AudioObjectID>{5}) << "kept after stop";
}

TEST_F(TapTest, EveryStartMakesANewDeviceUid) {
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(tap->start(std::nullopt, {}, {}, {})));
    tap->stop();
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(tap->start(std::nullopt, {}, {}, {})));
    auto devices = hardware.createdDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_NE(devices[0].uid, devices[1].uid);
    EXPECT_EQ(devices[1].uid.rfind("app.zorva.tap.", 0), 0u);
}

} // namespace

// ---------------------------------------------------------------- echo

namespace {

std::vector<float> recording(const std::string& name) {
    std::string error;
    auto file = AudioFileReader::open(
        "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-" + name +
            ".wav",
        error);
    EXPECT_TRUE(file) << error;
    if (!file)
        return {};
    PcmBuffer buffer(file->processingFormat(), static_cast<uint32_t>(file->length()));
    EXPECT_FALSE(file->read(buffer, buffer.frameCapacity()));
    const float* mono = buffer.floatChannelData()[0];
    return {mono, mono + buffer.frameLength()};
}

// Runs the canceller as a session does, the reference first, in buffers of
// `size` frames (a session's are 100 ms).
std::vector<float> cancel(EchoCanceller& canceller, const std::vector<float>& mic,
                          const std::vector<float>& played, std::size_t size = 1600) {
    const AudioFormat format{AudioFormat::Sample::float32, 16000, 1, false};
    std::vector<float> out;
    for (std::size_t at = 0; at < mic.size(); at += size) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(size, mic.size() - at));
        PcmBuffer ref(format, n), heard(format, n);
        ref.setFrameLength(n);
        heard.setFrameLength(n);
        std::copy_n(played.begin() + long(at), n, ref.floatChannelData()[0]);
        std::copy_n(mic.begin() + long(at), n, heard.floatChannelData()[0]);
        canceller.addReference(ref);
        const PcmBuffer& clean = canceller.process(heard);
        out.insert(out.end(), clean.floatChannelData()[0],
                   clean.floatChannelData()[0] + clean.frameLength());
    }
    return out;
}

double energy(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to && i < x.size(); ++i)
        sum += double(x[i]) * x[i];
    return sum;
}

// The far side speaks twice with a pause (4 s in all); the room returns it
// 150 ms late at -3 dB with a reflection; then the user speaks alone.
struct Room {
    std::vector<float> played, mic, user;
    std::size_t secondTurn = 0, farEnd = 0, userAt = 0; // in the microphone

    Room() {
        const std::vector<float> farSpeech = recording("0880");
        user = recording("0930");
        played = farSpeech;
        played.resize(played.size() + 8000, 0.0f);
        played.insert(played.end(), farSpeech.begin(), farSpeech.end());
        secondTurn = played.size() - farSpeech.size() + 2400;
        farEnd = played.size() + 2400;
        userAt = played.size() + 16000;
        played.resize(userAt + user.size() + 8000, 0.0f);
        mic.assign(played.size(), 0.0f);
        for (std::size_t i = 0; i + 2400 < farEnd; ++i) {
            mic[i + 2400] += 0.7f * played[i];
            mic[i + 3040] += 0.2f * played[i];
        }
        for (std::size_t i = 0; i < user.size(); ++i)
            mic[userAt + i] += user[i];
    }

    // How much of the far side's second turn is gone, in dB.
    double removedDb(const std::vector<float>& out) const {
        return 10 * std::log10(energy(mic, secondTurn, farEnd) / energy(out, secondTurn, farEnd));
    }
};

} // namespace

TEST(EchoCanceller, RemovesTheRoomsEchoAndLeavesTheUserAloneWhenTheFarSideIsQuiet) {
    const Room room;
    ASSERT_FALSE(room.user.empty());
    const auto& [played, mic, user] = std::tie(room.played, room.mic, room.user);

    auto canceller = makeEchoCanceller(StillClock::instance());
    EXPECT_EQ(canceller->delayMs(), -1);
    const std::vector<float> out = cancel(*canceller, mic, played);
    ASSERT_GE(out.size() + 160, mic.size()); // at most a frame held back
    EXPECT_NEAR(canceller->delayMs(), 150, 20);
    // The far side's second turn, once the echo has been found: at least
    // 15 dB of it gone.
    EXPECT_GT(room.removedDb(out), 15.0);
    // The user, 0.7 s after the far side and its room fell quiet: untouched.
    for (std::size_t i = room.userAt; i < out.size(); ++i)
        ASSERT_EQ(out[i], mic[i]) << "at sample " << i;

    // The echo is found about a second after the far side's first word; from
    // then on it is held back while the canceller learns the room, or removed.
    EXPECT_GT(10 * std::log10(energy(mic, 24000, 48000) / energy(out, 24000, 48000)), 30.0);

    // Headphones: the far side plays, the microphone hears only the user,
    // who talks over it, starting with it, 50 or 150 ms after it (one voice's
    // cadence: its start matches an echo's over 0.2 s) or later. Nothing is
    // removed or held, not a sample changes, also in buffers smaller than the
    // canceller's 10 ms.
    for (const std::size_t userFrom : {0, 800, 2400, 8000, 16000}) {
        std::vector<float> alone(played.size(), 0.0f);
        for (std::size_t i = 0; i < user.size(); ++i)
            alone[userFrom + i] = user[i];
        auto headphones = makeEchoCanceller(StillClock::instance());
        const std::vector<float> same = cancel(*headphones, alone, played, 100);
        for (std::size_t i = 0; i < same.size(); ++i)
            ASSERT_EQ(same[i], alone[i]) << "user from " << userFrom << ", at sample " << i;
    }
}

// Live, the two streams come on threads of their own, and on a busy machine
// the microphone's buffers come late, several at once after a stall of up to
// 0.6 s, while the reference keeps time (and once stalls too). The echo is
// still found where it is and removed as well as when all comes on time.
TEST(EchoCanceller, LinesTheStreamsUpByTheirTimelyArrivalsWhenTheyComeInBursts) {
    const Room room;
    ASSERT_FALSE(room.user.empty());
    fake::ManualClock clock;
    auto canceller = makeEchoCanceller(clock);
    const AudioFormat format{AudioFormat::Sample::float32, 16000, 1, false};
    const auto feed = [&](const std::vector<float>& from, std::size_t at, std::size_t n,
                          auto&& give) {
        PcmBuffer buffer(format, static_cast<uint32_t>(n));
        buffer.setFrameLength(static_cast<uint32_t>(n));
        std::copy_n(from.begin() + long(at), n, buffer.floatChannelData()[0]);
        give(buffer);
    };
    std::vector<float> out;
    std::size_t refGiven = 0, micGiven = 0;
    const std::size_t ticks = room.mic.size() / 160; // of 10 ms
    for (std::size_t tick = 1; tick <= ticks; ++tick) {
        clock.advance(std::chrono::milliseconds(10));
        // Stalls of 0.2 to 0.6 s, one every 1.5 s; the reference once.
        const bool micStalled = tick % 150 >= 150 - 20 * (1 + tick / 150 % 3);
        const bool refStalled = tick >= 310 && tick < 340;
        for (; !refStalled && refGiven < tick * 160; refGiven += 160)
            feed(room.played, refGiven, 160, [&](auto& b) { canceller->addReference(b); });
        for (; !micStalled && micGiven + 1600 <= tick * 160; micGiven += 1600)
            feed(room.mic, micGiven, 1600, [&](auto& b) {
                const PcmBuffer& clean = canceller->process(b);
                out.insert(out.end(), clean.floatChannelData()[0],
                           clean.floatChannelData()[0] + clean.frameLength());
            });
    }
    EXPECT_NEAR(canceller->delayMs(), 150, 20);
    EXPECT_GT(room.removedDb(out), 15.0);
}

// The echo comes back on another clock, 0.1% fast (or resampled by the
// room's device): over half a minute of the far side's turns it slides from
// 150 ms to 120 ms. The canceller follows it, reading the reference at the
// echo's rate, and keeps removing it as well as at first.
TEST(EchoCanceller, FollowsAnEchoThatDriftsAgainstTheReference) {
    const std::vector<float> farSpeech = recording("0880");
    ASSERT_FALSE(farSpeech.empty());
    std::vector<float> played;
    std::vector<std::size_t> turns;
    while (played.size() < 30 * 16000) {
        turns.push_back(played.size());
        played.insert(played.end(), farSpeech.begin(), farSpeech.end());
        played.resize(played.size() + 8000, 0.0f);
    }
    std::vector<float> mic(played.size(), 0.0f);
    for (std::size_t i = 2400; i < mic.size(); ++i) {
        const double at = double(i - 2400) * 1.001;
        const auto k = static_cast<std::size_t>(at);
        if (k + 1 < played.size())
            mic[i] =
                0.7f * float((1 - (at - double(k))) * played[k] + (at - double(k)) * played[k + 1]);
    }
    auto canceller = makeEchoCanceller(StillClock::instance());
    const std::vector<float> out = cancel(*canceller, mic, played);
    const double end = double(played.size()) / 16000;
    EXPECT_NEAR(canceller->delayMs(), 150 - end, 8) << "after " << end << " s";
    // Each turn after the first two, while the echo is heard.
    for (std::size_t t = 2; t + 1 < turns.size(); ++t) {
        const std::size_t from = turns[t] + 2400, to = turns[t] + farSpeech.size();
        EXPECT_GT(10 * std::log10(energy(mic, from, to) / energy(out, from, to)), 20.0)
            << "turn " << t;
    }
}

// The tap's ring between a server that delivers 20 ms fragments on its own
// clock and a mixer that reads 10 ms a cycle on ours. Samples count up, so
// that anything doubled, reordered or played twice shows, and the latency
// is what was delivered minus what was read.
TEST(PacedRing, KeepsLatencyBoundedWhateverTheServersClockDoesAndNeverRepeats) {
    using pulse::PacedRing;
    constexpr std::size_t kCycle = 480, kFragment = 960;
    struct Run {
        double serverRate;                // server frames per frame of ours
        int stallFrom = -1, stallFor = 0; // cycles the server delivers nothing, then all at once
        std::size_t mostLatency = 0, gaps = 0, lastLatency = 0, repeats = 0;
    };
    auto play = [&](Run run, int cycles) {
        PacedRing ring(1);
        std::vector<float> fragment(kFragment * 60), out(kCycle);
        double owed = 0;
        float next = 0, lastHeard = -1;
        bool started = false, dry = false;
        for (int c = 0; c < cycles; ++c) {
            owed += double(kCycle) * run.serverRate;
            const bool stalled = c >= run.stallFrom && c < run.stallFrom + run.stallFor;
            while (!stalled && owed >= kFragment) {
                const auto n = std::min<std::size_t>(std::size_t(owed) / kFragment * kFragment,
                                                     fragment.size());
                for (std::size_t i = 0; i < n; ++i)
                    fragment[i] = next++;
                ring.push(fragment.data(), n);
                owed -= double(n);
            }
            const std::size_t got = ring.pull(out.data(), kCycle);
            for (std::size_t i = 0; i < got; ++i) {
                run.repeats += out[i] <= lastHeard;
                lastHeard = out[i];
            }
            started = started || got > 0;
            run.gaps += started && got < kCycle && !dry;
            dry = started && got < kCycle;
            run.lastLatency = std::size_t(next - 1 - lastHeard);
            if (started && c > 100)
                run.mostLatency = std::max(run.mostLatency, run.lastLatency);
        }
        return run;
    };
    constexpr int kFiveMinutes = 30000; // samples stay exact in a float
    // Server 0.5 % fast: a few frames trimmed a cycle keep it near 100 ms.
    const Run fast = play({1.005}, kFiveMinutes);
    EXPECT_LE(fast.mostLatency, PacedRing::kMostBufferedFrames + kFragment + kCycle);
    EXPECT_EQ(fast.gaps, 0u);
    EXPECT_EQ(fast.repeats, 0u);
    // Our clock's pace: nothing trimmed, never dry.
    const Run same = play({1.0}, kFiveMinutes);
    EXPECT_LE(same.mostLatency, PacedRing::kPrimeFrames + kFragment + kCycle);
    EXPECT_EQ(same.gaps, 0u);
    EXPECT_EQ(same.repeats, 0u);
    // Server 0.5 % slow: every few seconds it runs dry and waits for a
    // fresh reserve.
    const Run slow = play({0.995}, kFiveMinutes);
    EXPECT_LE(slow.mostLatency, PacedRing::kPrimeFrames + kFragment + kCycle);
    EXPECT_LE(slow.gaps, std::size_t(kFiveMinutes / 300));
    EXPECT_EQ(slow.repeats, 0u);
    // A half-second stall delivered at once afterwards: the pile is dropped
    // and the latency is back to its reserve at the next cycle.
    const Run stall = play({1.0, 3000, 50}, 3051);
    EXPECT_LE(stall.lastLatency, PacedRing::kPrimeFrames + kFragment);
    EXPECT_EQ(stall.repeats, 0u);
    // A shorter stall is kept whole, and trimmed back a little at a time.
    const Run hiccup = play({1.0, 3000, 15}, 3016);
    EXPECT_GT(hiccup.lastLatency, PacedRing::kMostBufferedFrames);
    EXPECT_LE(play({1.0, 3000, 15}, 6000).lastLatency, PacedRing::kMostBufferedFrames + kFragment);
}
