// The capture backend in this process, against private PulseAudio and
// PipeWire servers: the tap's mixing clock and monitors and the microphone
// engine, each on its own thread (this suite also runs under
// ThreadSanitizer).
#include "Capture.h"
#include "CoreAudioProcesses.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "support/AudioApps.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <thread>

using namespace zorva;
using namespace zorva::test;
using namespace std::chrono_literals;

namespace {

// What a capture callback heard, from whichever thread calls it.
class Heard {
public:
    BufferCallback callback() {
        return [this](const PcmBuffer& b) {
            std::lock_guard g(lock_);
            frames_ += b.frameLength();
            format_ = b.format();
            for (const float* plane : b.floatChannelData())
                for (std::size_t i = 0; i < b.samplesPerPlane(b.frameLength()); ++i)
                    peak_ = std::max(peak_, std::fabs(plane[i]));
        };
    }
    // Frames so far, and the loudest sample since the last call.
    std::pair<uint64_t, float> take() {
        std::lock_guard g(lock_);
        return {frames_, std::exchange(peak_, 0.0f)};
    }
    AudioFormat format() {
        std::lock_guard g(lock_);
        return format_;
    }

private:
    std::mutex lock_;
    uint64_t frames_ = 0;
    float peak_ = 0;
    AudioFormat format_;
};

struct PulseCapture : ::testing::TestWithParam<ServerKind> {
    void SetUp() override {
        if (!PulseServer::available(GetParam()))
            ZORVA_SKIP_WITHOUT(kindName(GetParam()));
        server = std::make_unique<PulseServer>(GetParam());
        for (const std::string& entry : server->env()) // for libpulse in this process
            ::setenv(entry.substr(0, entry.find('=')).c_str(),
                     entry.substr(entry.find('=') + 1).c_str(), 1);
        hardware = makePulseAudioHardware([](std::string_view) {});
        microphone = makePulseMicrophoneSystem(
            *hardware, [this](std::function<void()> f) { asio::post(queue, std::move(f)); });
    }
    void TearDown() override {
        microphone.reset();
        hardware.reset();
        if (server)
            for (const std::string& entry : server->env())
                ::unsetenv(entry.substr(0, entry.find('=')).c_str());
    }
    // Runs the main queue until `done` holds, for at most `limit`.
    template <typename Pred> bool waitFor(Pred done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            queue.poll();
            queue.restart();
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    // The loudest sample `heard` gets while `app` says the tone.
    float loudestWhile(Heard& heard, AudioApp& app) {
        heard.take();
        app.say(toneFile());
        waitFor([] { return false; }, 1200ms);
        return heard.take().second;
    }
    // The process object of a process, once the server has told us of it.
    AudioObjectID objectOf(pid_t pid) {
        AudioObjectID found = 0;
        waitFor([&] {
            for (const auto& p : CoreAudioLister(*hardware).list())
                if (p.pid == pid)
                    found = p.objectID;
            return found != 0;
        });
        return found;
    }

    std::unique_ptr<PulseServer> server;
    asio::io_context queue;
    std::unique_ptr<AudioHardware> hardware;
    std::unique_ptr<MicrophoneSystem> microphone;
};

// The index of a process's playback stream on the server.
std::string sinkInputOf(const PulseServer& server, pid_t pid) {
    std::istringstream in(server.pactlOutput("list sink-inputs"));
    std::string index;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Sink Input #", 0) == 0)
            index = line.substr(12);
        if (line.find("application.process.id = \"" + std::to_string(pid) + "\"") !=
            std::string::npos)
            return index;
    }
    return "";
}

constexpr float kSilence = 1e-4f;
constexpr float kSound = 0.05f;

TEST_P(PulseCapture, TapHearsExactlyItsProcessesAcrossReaimAndServerRestart) {
    auto a = player(*server, "application.id=org.example.a");
    auto b = player(*server, "application.id=org.example.b");
    const AudioObjectID objectA = objectOf(a->pid());
    ASSERT_NE(objectA, 0u);
    Heard heard;
    int uuids = 0;
    auto tap = std::make_shared<TapCapture>(*hardware, heard.callback(), [&] {
        return "00000000-0000-4000-8000-00000000000" + std::to_string(++uuids);
    });
    auto started =
        tap->start(std::vector<AudioObjectID>{objectA}, {"org.example.a"}, {a->pid()}, {});
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(started))
        << std::get<TapError>(started).description();
    EXPECT_EQ(std::get<OthersInfo>(started).sampleRate, 48000);

    // The clock runs from the start, in step with the wall clock.
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t framesAtStart = heard.take().first;
    EXPECT_LT(loudestWhile(heard, *b), kSilence) << "another app is not in the tap";
    EXPECT_GT(loudestWhile(heard, *a), kSound);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double frames = static_cast<double>(heard.take().first - framesAtStart);
    EXPECT_NEAR(frames / 48000, seconds, 0.1);
    EXPECT_EQ(heard.format(), (AudioFormat{AudioFormat::Sample::float32, 48000, 1, false}));

    // Re-aimed at b: b is heard at once, a no more.
    tap->description()->processes = {objectOf(b->pid())};
    ASSERT_EQ(hardware->setTapDescription(tap->tap(), *tap->description()), 0);
    EXPECT_GT(loudestWhile(heard, *b), kSound);
    EXPECT_LT(loudestWhile(heard, *a), kSilence);
    // b moves to another sink and back: the tap follows it. And moved there
    // and back at once (a headset in and out), too fast for the tap to see
    // where it went: the server ends the monitor, and the tap reopens it.
    const std::string index = sinkInputOf(*server, b->pid());
    ASSERT_EQ(server->pactl("move-sink-input " + index + " micsink"), 0);
    EXPECT_TRUE(waitFor([&] { return loudestWhile(heard, *b) > kSound; }, 5s));
    ASSERT_EQ(server->pactl("move-sink-input " + index + " speakers"), 0);
    b->bounce("micsink");
    EXPECT_TRUE(waitFor([&] { return loudestWhile(heard, *b) > kSound; }, 5s));

    // The server goes: the clock goes on with silence. It comes back with new
    // apps; re-aimed, the tap hears the new b.
    server->kill();
    const uint64_t before = heard.take().first;
    waitFor([] { return false; }, 500ms);
    EXPECT_GT(heard.take().first, before + 48000 / 4);
    server->start();
    auto b2 = player(*server, "application.id=org.example.b");
    tap->description()->processes = {objectOf(b2->pid())};
    ASSERT_EQ(hardware->setTapDescription(tap->tap(), *tap->description()), 0);
    EXPECT_GT(loudestWhile(heard, *b2), kSound);
    tap->stop();
}

// The longest run of silence inside a sound that a callback hears (from its
// first loud sample to its last), and its loudest sample.
class Gaps {
public:
    BufferCallback callback() {
        return [this](const PcmBuffer& b) {
            std::lock_guard g(lock_);
            const float* mono = b.floatChannelData()[0];
            for (uint32_t i = 0; i < b.frameLength(); ++i, ++at_) {
                peak_ = std::max(peak_, std::fabs(mono[i]));
                if (std::fabs(mono[i]) < kQuiet)
                    continue;
                if (lastLoud_ >= 0)
                    longest_ = std::max(longest_, at_ - lastLoud_ - 1);
                lastLoud_ = at_;
            }
        };
    }
    int64_t longestMs() {
        std::lock_guard g(lock_);
        return longest_ * 1000 / 48000;
    }
    float peak() {
        std::lock_guard g(lock_);
        return peak_;
    }
    void reset() {
        std::lock_guard g(lock_);
        longest_ = 0;
        lastLoud_ = -1;
        peak_ = 0;
    }

private:
    static constexpr float kQuiet = 1e-3f;
    std::mutex lock_;
    int64_t at_ = 0, lastLoud_ = -1, longest_ = 0;
    float peak_ = 0;
};

TEST_P(PulseCapture, AStreamMovedToAnotherOutputMidSoundLosesOnlyAMoment) {
    auto a = player(*server, "application.id=org.example.a");
    const AudioObjectID objectA = objectOf(a->pid());
    ASSERT_NE(objectA, 0u);
    Gaps gaps;
    auto tap = std::make_shared<TapCapture>(*hardware, gaps.callback(), [] {
        return std::string("00000000-0000-4000-8000-000000000001");
    });
    auto started =
        tap->start(std::vector<AudioObjectID>{objectA}, {"org.example.a"}, {a->pid()}, {});
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(started));
    waitFor([] { return false; }, 500ms);
    const std::string index = sinkInputOf(*server, a->pid());
    // Headphones in, and out again, each in the middle of a sound; then in
    // and out at once (the app moves there and straight back), which ends
    // the monitor with the stream where it was.
    ASSERT_EQ(server->pactl("load-module module-null-sink sink_name=headphones"), 0);
    for (std::string sink : {"headphones", "speakers", "bounce"}) {
        gaps.reset();
        a->say(toneFile(3.0));
        waitFor([] { return false; }, 1s);
        if (sink == "bounce")
            a->bounce("headphones");
        else
            ASSERT_EQ(server->pactl("move-sink-input " + index + " " + sink), 0);
        waitFor([] { return false; }, 2500ms);
        EXPECT_LT(gaps.longestMs(), 150) << sink;
    }
    tap->stop();
}

TEST_P(PulseCapture, ASinkOfOnlyTappedStreamsIsReadWholeAndAnAppJoiningItIsNeverHeard) {
    std::vector<std::unique_ptr<AudioApp>> apps;
    std::vector<AudioObjectID> objects;
    for (int i = 0; i < 3; ++i) {
        apps.push_back(player(*server, "application.id=org.example.a"));
        objects.push_back(objectOf(apps.back()->pid()));
        ASSERT_NE(objects.back(), 0u);
    }
    Gaps heard;
    auto tap = std::make_shared<TapCapture>(*hardware, heard.callback(), [] {
        return std::string("00000000-0000-4000-8000-000000000001");
    });
    ASSERT_TRUE(std::holds_alternative<OthersInfo>(tap->start(objects, {"org.example.a"}, {}, {})));
    // How many recordings this process has on the server.
    auto monitors = [&] {
        const std::string list = server->pactlOutput("list source-outputs");
        const std::string mine = "application.process.id = \"" + std::to_string(::getpid()) + "\"";
        int n = 0;
        for (auto at = list.find(mine); at != std::string::npos; at = list.find(mine, at + 1))
            ++n;
        return n;
    };
    // What is heard of a 3 s sound from `meanwhile`, done a second into it.
    auto toneWhile = [&](AudioApp& app, const std::function<void()>& meanwhile) {
        waitFor([] { return false; }, 300ms);
        app.say(toneFile(3.0));
        waitFor([] { return false; }, 1s);
        heard.reset();
        meanwhile();
        waitFor([] { return false; }, 2s);
    };
    EXPECT_TRUE(waitFor([&] { return monitors() == 1; }, 5s)) << "one monitor of the whole sink";
    toneWhile(*apps[0], [] {});
    const float level = heard.peak();
    EXPECT_GT(level, kSound);

    // Another app joins the sink while a tapped stream sounds: the tap
    // switches to a monitor per stream without a gap or a doubled sound, and
    // never hears the other app. (PipeWire's new monitor of a stream can
    // first give some hundred milliseconds at once, which the tap drops to
    // keep its latency: not checked there.)
    std::unique_ptr<AudioApp> other;
    toneWhile(*apps[1], [&] { other = player(*server, "application.id=org.other.player"); });
    if (GetParam() == ServerKind::pulseaudio) {
        EXPECT_NEAR(heard.peak(), level, 0.15 * level) << "joined";
        EXPECT_LT(heard.longestMs(), 150) << "joined";
    }
    EXPECT_TRUE(waitFor([&] { return monitors() == 3; }, 5s)) << monitors();
    toneWhile(*other, [] {});
    EXPECT_LT(heard.peak(), kSilence);
    // It leaves again: back to the whole sink, whose monitor takes over
    // when it has sound (on PipeWire a third of a second after it opens).
    toneWhile(*apps[2], [&] { other.reset(); });
    EXPECT_NEAR(heard.peak(), level, 0.15 * level) << "left";
    EXPECT_LT(heard.longestMs(), 150) << "left";
    EXPECT_TRUE(waitFor([&] { return monitors() == 1; }, 5s)) << monitors();
    tap->stop();
}

TEST_P(PulseCapture, SystemTapHearsAllButTheExcluded) {
    auto a = player(*server, "application.id=org.example.a");
    auto b = player(*server, "application.id=org.example.b");
    Heard heard;
    auto tap = std::make_shared<TapCapture>(*hardware, heard.callback(),
                                            [] { return "00000000-0000-4000-8000-000000000001"; });
    ASSERT_TRUE(
        std::holds_alternative<OthersInfo>(tap->start(std::nullopt, {}, {}, {objectOf(a->pid())})));
    EXPECT_GT(loudestWhile(heard, *b), kSound);
    EXPECT_LT(loudestWhile(heard, *a), kSilence);
    EXPECT_EQ(heard.format().channels, 2u);
    tap->stop();
}

TEST_P(PulseCapture, MicrophoneFollowsTheDefaultSourceAndComesBackWithTheServer) {
    // A real microphone never stops delivering: a silent player keeps the
    // virtual one going.
    auto voice = player(*server, "", "micsink");
    ASSERT_TRUE(
        waitFor([&] { return microphone->recordPermission() == RecordPermission::granted; }));
    Heard heard;
    std::vector<std::string> failures;
    auto mic = std::make_shared<MicCapture>(microphone->makeEngine(), heard.callback(),
                                            [&](const std::string& e) { failures.push_back(e); });
    std::variant<MicInfo, CaptureError> started = CaptureError{};
    ASSERT_TRUE(waitFor([&] {
        started = mic->start();
        if (std::holds_alternative<MicInfo>(started))
            return true;
        mic->stop(); // the server has not told us of its default source yet
        return false;
    }));
    EXPECT_GT(std::get<MicInfo>(started).sampleRate, 0);
    EXPECT_GT(loudestWhile(heard, *voice), kSound);

    // The user picks another microphone.
    ASSERT_EQ(server->pactl("load-module module-null-sink sink_name=micsink2 norewinds=1"), 0);
    ASSERT_EQ(server->pactl("load-module module-remap-source master=micsink2.monitor "
                            "source_name=virtmic2"),
              0);
    auto voice2 = player(*server, "", "micsink2");
    ASSERT_EQ(server->pactl("set-default-source virtmic2"), 0);
    EXPECT_TRUE(waitFor([&] { return loudestWhile(heard, *voice2) > kSound; }, 5s));
    EXPECT_LT(loudestWhile(heard, *voice), kSilence) << "the old microphone is left";

    // The server goes and comes back: one failure said, then it records again.
    server->kill();
    ASSERT_TRUE(waitFor([&] { return !failures.empty(); }));
    EXPECT_EQ(microphone->recordPermission(), RecordPermission::undetermined);
    server->start();
    auto voice3 = player(*server, "", "micsink");
    EXPECT_TRUE(waitFor([&] { return mic->tapped() && loudestWhile(heard, *voice3) > kSound; }));
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(heard.format().sample, AudioFormat::Sample::float32);
    mic->stop();
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseCapture,
                         ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& param) { return kindName(param.param); });

} // namespace
