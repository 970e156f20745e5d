// Capture sessions on substituted platforms: the exact lines, in order.
#include "support/HelperHarness.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <unistd.h>

using namespace zorva;
using namespace std::chrono_literals;
using Lines = std::vector<HelperMessage>;

namespace {

const std::string kUUID1 = "00000000-0000-4000-8000-100000000001";
const std::string kUUID2 = "00000000-0000-4000-8000-100000000002";
const int32_t kOwnPid = static_cast<int32_t>(getpid());

struct SessionTest : ::testing::Test, test::HelperHarness {
    explicit SessionTest(bool supportUsEnglish = true) : test::HelperHarness(supportUsEnglish) {}
    std::size_t seen = 0;

    void SetUp() override {
        hardware.setProcess(10, {100, "org.example.conf", 1});
        hardware.setProcess(11, {101, "org.example.helper", 0});
        hardware.setProcess(12, {kOwnPid, "zorva-helper", 0});
        hardware.setProcess(13, {300, "com.other", 1});
    }
    static Configure conf(std::string locale = "en-US", bool fast = false) {
        return Configure{{{"Conf", {"org.example."}}, {"Other", {"com.other"}}},
                         {},
                         {},
                         std::move(locale),
                         0,
                         10000,
                         fast};
    }
    // Configures and runs the first tick: Conf's call starts at once.
    void configured() {
        helper->handle(conf());
        advance(0ms);
        ASSERT_EQ(lines().size(), 1u); // call started
    }
    // Lines since the last call, without transcript lines.
    Lines lines() {
        Lines fresh;
        auto all = messages();
        for (std::size_t i = seen; i < all.size(); ++i)
            if (!std::holds_alternative<PartialText>(all[i]) &&
                !std::holds_alternative<FinalText>(all[i]))
                fresh.push_back(all[i]);
        seen = all.size();
        return fresh;
    }
    bool sentCapture(Capture::State state, const std::string& id = "s1") {
        for (const auto& m : messages())
            if (auto* c = std::get_if<Capture>(&m); c && c->state == state && c->sessionId == id)
                return true;
        return false;
    }
    void start(const std::string& id, const std::string& bundle = "org.example.conf",
               Start::Audio audio = Start::Audio::app) {
        helper->handle(Start{id, bundle, {1, 2}, audio});
    }
    void startAndWait(const std::string& id, const std::string& bundle = "org.example.conf",
                      Start::Audio audio = Start::Audio::app) {
        start(id, bundle, audio);
        ASSERT_TRUE(runUntil([&] { return sentCapture(Capture::State::started, id); }));
    }
    void stopAndWait(const std::string& id) {
        helper->handle(Stop{{id}});
        ASSERT_TRUE(runUntil([&] { return sentCapture(Capture::State::stopped, id); }));
    }
    static HelperMessage micGranted() {
        return Permission{Permission::Kind::microphone, Permission::Status::granted};
    }
    static HelperMessage systemAudio(Permission::Status s) {
        return Permission{Permission::Kind::systemAudio, s};
    }
    static MicInfo micInfo() { return MicInfo{"default input", 48000, false}; }
    HelperMessage stopped(const std::string& id) { return Stopped{{id}}; }
    HelperMessage captureStopped(const std::string& id) {
        return Capture{id, Capture::State::stopped, std::nullopt, std::nullopt};
    }
};

PcmBuffer floatBuffer(double rate, uint32_t frames, float value) {
    PcmBuffer b({AudioFormat::Sample::float32, rate, 1, false}, frames);
    b.setFrameLength(frames);
    std::fill(b.floatChannelData()[0], b.floatChannelData()[0] + frames, value);
    return b;
}

TEST_F(SessionTest, FullSessionBothStreamsTranscribedThenStopped) {
    speech.analyzerScript.resultsAt = {
        {0.1, {"hello", MediaTimeRange::fromStartEnd({0, 1}, {1, 10}), false}},
        {0.3, {"hello world", MediaTimeRange::fromStartEnd({0, 1}, {3, 10}), true}}};
    configured();
    startAndWait("s1");
    EXPECT_EQ(lines(), (Lines{micGranted(), systemAudio(Permission::Status::granted),
                              Capture{"s1", Capture::State::started, micInfo(),
                                      OthersInfo{kUUID1, 48000, {100, 101}}}}));
    // The tap and its private device, exactly as described.
    ASSERT_EQ(hardware.createdTaps().size(), 1u);
    const TapDescription tap = hardware.createdTaps()[0];
    EXPECT_EQ(tap.mode, TapDescription::Mode::monoMixdownOfProcesses);
    EXPECT_EQ(tap.processes, (std::vector<AudioObjectID>{10, 11}));
    EXPECT_EQ(tap.bundleIDs, (std::vector<std::string>{"org.example.conf", "org.example.helper"}));
    EXPECT_EQ(tap.name, "Zorva others");
    EXPECT_TRUE(tap.isPrivate);
    EXPECT_EQ(tap.muteBehavior, 0);
    EXPECT_TRUE(tap.processRestoreEnabled);
    const AggregateDeviceDescription device = hardware.createdDevices().at(0);
    EXPECT_EQ(device.uid, "app.zorva.tap." + kUUID2);
    EXPECT_EQ(device.name, "Zorva tap");
    EXPECT_TRUE(device.isPrivate);
    EXPECT_TRUE(device.tapAutoStart);
    ASSERT_EQ(device.taps.size(), 1u);
    EXPECT_EQ(device.taps[0].uid, kUUID1);
    EXPECT_TRUE(device.taps[0].drift);
    auto engine = microphone.engines().at(0);
    EXPECT_EQ(engine->calls(), (std::vector<std::string>{"inputFormat", "installTap 4800",
                                                         "prepare", "start", "addObserver"}));

    // Audio from both captures' own threads, 100 ms at a time.
    std::thread audio([&] {
        std::vector<float> samples(4800, 0.1f);
        for (int i = 0; i < 5; ++i) {
            engine->push(floatBuffer(48000, 4800, 0.1f));
            hardware.pushCycle(AudioBufferList{{{1, 4800 * 4, samples.data()}}});
        }
    });
    audio.join();
    ASSERT_TRUE(runUntil([&] {
        int finals = 0;
        for (const auto& m : messages())
            if (auto* f = std::get_if<FinalText>(&m))
                finals += f->sessionId == "s1" && f->text == "hello world";
        return finals == 2;
    }));
    std::set<StreamName> partialStreams;
    for (const auto& m : messages())
        if (auto* p = std::get_if<PartialText>(&m))
            partialStreams.insert(p->stream);
    EXPECT_EQ(partialStreams, (std::set<StreamName>{StreamName::mic, StreamName::others}));

    stopAndWait("s1");
    EXPECT_EQ(lines(), (Lines{captureStopped("s1"), stopped("s1")}));
    auto engineCalls = engine->calls();
    EXPECT_EQ(std::vector<std::string>(engineCalls.begin() + 5, engineCalls.end()),
              (std::vector<std::string>{"removeObserver", "stop", "removeTap", "stop"}))
        << "stopped, then stopped again by clearing the session: harmless";
    auto calls = hardware.tapCalls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
              (std::vector<std::string>{"deviceStop 2002", "destroyIOProc 2002 2003",
                                        "destroyAggregateDevice 2002", "destroyProcessTap 2001"}));
}

TEST_F(SessionTest, StartBeforeConfigureDoesNothingAndLaterWorks) {
    start("early");
    runFor(100ms);
    EXPECT_TRUE(messages().empty());
    configured();
    startAndWait("s1");
    EXPECT_EQ(lines().size(), 3u);
}

TEST_F(SessionTest, SecondStartWhileActiveIsIgnored) {
    configured();
    startAndWait("s1");
    lines();
    start("s2");
    start("s1");
    runFor(200ms);
    EXPECT_TRUE(lines().empty());
    stopAndWait("s1");
    EXPECT_EQ(lines(), (Lines{captureStopped("s1"), stopped("s1")}));
}

TEST_F(SessionTest, StartThenStopAtOnceKeepsTheOrder) {
    configured();
    start("s1");
    helper->handle(Stop{{"s1"}});
    ASSERT_TRUE(runUntil([&] { return sentCapture(Capture::State::stopped); }));
    runFor(50ms);
    auto l = lines();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_TRUE(std::holds_alternative<Permission>(l[0]));
    EXPECT_TRUE(std::holds_alternative<Permission>(l[1]));
    EXPECT_EQ(std::get<Capture>(l[2]).state, Capture::State::started);
    EXPECT_EQ(l[3], captureStopped("s1"));
    EXPECT_EQ(l[4], stopped("s1"));
}

TEST_F(SessionTest, StopForAnotherSessionOrWhenIdleSaysNothing) {
    configured();
    helper->handle(Stop{{"nobody"}});
    runFor(50ms);
    startAndWait("s1");
    lines();
    helper->handle(Stop{{"S1"}});
    runFor(100ms);
    EXPECT_TRUE(lines().empty());
}

struct NoLocaleSessionTest : SessionTest {
    NoLocaleSessionTest() : SessionTest(false) {}
};

TEST_F(NoLocaleSessionTest, UnsupportedLocaleIsOneErrorAndIdleAgain) {
    helper->handle(conf("xx-XX"));
    advance(0ms);
    lines();
    start("s1");
    ASSERT_TRUE(runUntil([&] { return messages().size() > seen; }));
    runFor(50ms);
    HelperMessage error = HelperError{HelperError::Code::modelUnsupported,
                                      "no supported locale for xx-XX", false, "s1"};
    EXPECT_EQ(lines(), (Lines{error}));
    start("s1"); // idle again: tried afresh
    ASSERT_TRUE(runUntil([&] { return messages().size() > seen; }));
    EXPECT_EQ(lines(), (Lines{error}));
}

TEST_F(SessionTest, TranscriberStartFailureFinishesBothAndSendsNoCapture) {
    speech.analyzerScript.startError = SpeechError{"model is busy"};
    configured();
    start("s1");
    ASSERT_TRUE(runUntil([&] { return messages().size() > seen; }));
    runFor(700ms); // the mic transcriber's finish runs to its watchdog
    EXPECT_EQ(lines(), (Lines{HelperError{HelperError::Code::transcriberFailed, "model is busy",
                                          false, "s1"}}));
    ASSERT_EQ(speech.analyzers().size(), 1u) << "the others transcriber is not started";
    EXPECT_TRUE(speech.analyzers()[0]->cancelled()) << "finished";
    EXPECT_TRUE(microphone.engines().empty());
    EXPECT_TRUE(hardware.createdTaps().empty());
    speech.analyzerScript.startError.reset();
    startAndWait("s2"); // idle again
}

TEST_F(SessionTest, ASessionOperationThatThrowsEndsTheSessionWithOneError) {
    configured();
    speech.analyzerScript.startThrows = true;
    start("s1");
    ASSERT_TRUE(runUntil([&] { return messages().size() > seen; }));
    runFor(50ms);
    EXPECT_EQ(lines(), (Lines{HelperError{HelperError::Code::transcriberFailed,
                                          "session failed: cannot make the analyser's thread: "
                                          "Resource temporarily unavailable",
                                          false, "s1"}}));
    // Cleared: the next start runs; a stop whose finish throws still ends it
    // and answers the host.
    speech.analyzerScript.startThrows = false;
    speech.analyzerScript.finishThrows = true;
    startAndWait("s2");
    lines();
    stopAndWait("s2");
    EXPECT_EQ(lines(), (Lines{HelperError{HelperError::Code::transcriberFailed,
                                          "session failed: std::bad_alloc", false, "s2"},
                              captureStopped("s2"), stopped("s2")}));
    for (const auto& analyzer : speech.analyzers())
        EXPECT_TRUE(analyzer->cancelled()) << "nothing of the session runs on";
    speech.analyzerScript.finishThrows = false;
    startAndWait("s3");
    EXPECT_EQ(microphone.engines().size(), 2u);
}

TEST_F(SessionTest, ARecogniserThatFallsBehindLosesTheOldestAudioAndSaysSoOnce) {
    speech.analyzerScript.holdInput = true;
    configured();
    startAndWait("s1");
    lines();
    auto engine = microphone.engines().at(0);
    for (int i = 0; i < 650; ++i) // 65 s while the analyser takes nothing
        engine->push(floatBuffer(48000, 4800, 0.1f));
    advance(2000ms); // the next tick notices
    const HelperMessage fellBehind = HelperError{
        HelperError::Code::transcriberFailed,
        "speech recognition fell behind on mic; the oldest audio beyond 60 s was dropped", false,
        "s1"};
    EXPECT_EQ(lines(), Lines{fellBehind});
    for (int i = 0; i < 100; ++i)
        engine->push(floatBuffer(48000, 4800, 0.1f));
    advance(4000ms);
    EXPECT_EQ(lines(), Lines{}) << "once per session";

    // The analyser then gets the newest 60 s, contiguous, ending at 75 s.
    auto analyzer = speech.analyzers().at(0);
    analyzer->releaseInput();
    auto framesIn = [&] {
        int64_t frames = 0;
        for (const auto& in : analyzer->inputs())
            frames += in.buffer->frameLength();
        return frames;
    };
    ASSERT_TRUE(runUntil([&] { return framesIn() >= 60 * 16000 - 1600; }));
    EXPECT_LE(framesIn(), 60 * 16000);
    auto inputs = analyzer->inputs();
    for (std::size_t i = 1; i < inputs.size(); ++i)
        ASSERT_EQ(inputs[i].start.value,
                  inputs[i - 1].start.value + inputs[i - 1].buffer->frameLength());
    EXPECT_NEAR(inputs.front().start.seconds(), 15.0, 0.11);
    stopAndWait("s1");
    EXPECT_EQ(lines(), (Lines{captureStopped("s1"), stopped("s1")}));

    // A new session may report again.
    startAndWait("s2");
    lines();
    for (int i = 0; i < 610; ++i)
        microphone.engines().at(1)->push(floatBuffer(48000, 4800, 0.1f));
    advance(2000ms);
    ASSERT_EQ(lines().size(), 1u);
}

TEST_F(SessionTest, PermissionDeniedNoInputEngineStartFailureAndAMicrophoneLostMidCall) {
    microphone.permission = RecordPermission::denied;
    microphone.inputFormat = {AudioFormat::Sample::float32, 0, 1, false};
    configured();
    startAndWait("s1");
    EXPECT_EQ(lines(),
              (Lines{Permission{Permission::Kind::microphone, Permission::Status::denied},
                     HelperError{HelperError::Code::engineFailed, kNoInputDescription, false, "s1"},
                     systemAudio(Permission::Status::granted),
                     Capture{"s1", Capture::State::started, std::nullopt,
                             OthersInfo{kUUID1, 48000, {100, 101}}}}));
    EXPECT_EQ(microphone.engines()[0]->calls(), (std::vector<std::string>{"inputFormat", "stop"}))
        << "no input: the engine is left untouched but for the stop";
    stopAndWait("s1");

    microphone.permission = RecordPermission::undetermined;
    microphone.inputFormat = {AudioFormat::Sample::float32, 44100, 2, false};
    microphone.startError = "engine refused";
    lines();
    startAndWait("s2");
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0], HelperMessage(Permission{Permission::Kind::microphone,
                                             Permission::Status::notDetermined}));
    EXPECT_EQ(l[1], HelperMessage(HelperError{HelperError::Code::engineFailed, "engine refused",
                                              false, "s2"}));
    EXPECT_FALSE(std::get<Capture>(l[3]).mic);
    EXPECT_EQ(microphone.engines()[1]->calls(),
              (std::vector<std::string>{"inputFormat", "installTap 4800", "prepare", "start",
                                        "stop", "removeTap"}))
        << "half started, then torn down by stop";
    stopAndWait("s2");

    // The microphone goes away mid-call: said once, with the session's id.
    microphone.startError.reset();
    startAndWait("s3");
    lines();
    auto engine = microphone.engines()[2];
    engine->setInputFormat({AudioFormat::Sample::float32, 0, 0, false});
    engine->fireConfigurationChange();
    engine->fireConfigurationChange();
    runFor(50ms);
    EXPECT_EQ(lines(), (Lines{HelperError{HelperError::Code::engineFailed, kNoInputDescription,
                                          false, "s3"}}));
    stopAndWait("s3");
}

TEST_F(SessionTest, EachTapFailureNamesItsStepAndTearsDownWhatExists) {
    struct Case {
        std::string step;
        std::vector<std::string> teardown;
    };
    const std::vector<Case> cases = {
        {"AudioHardwareCreateProcessTap", {}},
        {"kAudioTapPropertyFormat", {"destroyProcessTap"}},
        {"AudioHardwareCreateAggregateDevice", {"destroyProcessTap"}},
        {"AudioDeviceCreateIOProcIDWithBlock", {"destroyAggregateDevice", "destroyProcessTap"}},
        {"AudioDeviceStart",
         {"deviceStop", "destroyIOProc", "destroyAggregateDevice", "destroyProcessTap"}},
    };
    configured();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        hardware.failStep(c.step, 560947818);
        const std::string id = "s" + std::to_string(++n);
        std::size_t callsBefore = hardware.tapCalls().size();
        startAndWait(id);
        auto l = lines();
        ASSERT_EQ(l.size(), 4u);
        EXPECT_EQ(l[0], micGranted());
        const auto& error = std::get<HelperError>(l[1]);
        EXPECT_EQ(error.code, HelperError::Code::tapFailed);
        EXPECT_EQ(error.sessionId, id);
        EXPECT_NE(error.message.find(c.step), std::string::npos) << error.message;
        EXPECT_NE(error.message.find("560947818"), std::string::npos) << error.message;
        EXPECT_EQ(l[2], systemAudio(Permission::Status::denied));
        EXPECT_EQ(l[3],
                  HelperMessage(Capture{id, Capture::State::started, micInfo(), std::nullopt}));
        std::vector<std::string> torn;
        auto calls = hardware.tapCalls();
        for (std::size_t i = callsBefore; i < calls.size(); ++i)
            if (calls[i].rfind("destroy", 0) == 0 || calls[i].rfind("deviceStop", 0) == 0)
                torn.push_back(calls[i].substr(0, calls[i].find(' ')));
        EXPECT_EQ(torn, c.teardown);
        stopAndWait(id);
        lines();
        hardware.failStep(c.step, 0);
    }
}

TEST_F(SessionTest, TapFormatThatIsNotPcmFailsWithStatusZero) {
    hardware.setTapFormat({48000, fourCC("aac "), 0, 0, 0, 0, 2, 0, 0});
    configured();
    startAndWait("s1");
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_NE(
        std::get<HelperError>(l[1]).message.find("kAudioTapPropertyFormat failed with status 0"),
        std::string::npos);
}

TEST_F(SessionTest, UnknownAppOrNotYetGroupedFamilyTapsNothing) {
    configured();
    startAndWait("s1", "com.unknown.app");
    EXPECT_EQ(std::get<Capture>(lines().back()).others->processes, std::vector<int32_t>{});
    auto tap = hardware.createdTaps().back();
    EXPECT_EQ(tap.mode, TapDescription::Mode::monoMixdownOfProcesses) << "still an app tap";
    EXPECT_TRUE(tap.processes.empty());
    EXPECT_TRUE(tap.bundleIDs.empty());
    hardware.setProcess(14, {104, "org.example.new", 0}); // Conf's members change
    advance(2000ms);
    EXPECT_TRUE(hardware.descriptionWrites().empty()) << "no followed family: never re-aimed";
    stopAndWait("s1");
}

TEST_F(SessionTest, FamilyWithoutGroupedProcessesIsAimedAtItsCallThenFollowsItsMembers) {
    hardware.clearProcesses();
    helper->handle(conf());
    advance(0ms);
    startAndWait("s1");
    EXPECT_TRUE(hardware.createdTaps().back().processes.empty());
    // The app appears and its call starts: the tap that followed nothing is
    // aimed at it, and the call is reported as ever.
    lines();
    hardware.setProcess(10, {100, "org.example.conf", 1});
    advance(2000ms);
    ASSERT_EQ(hardware.descriptionWrites().size(), 1u);
    EXPECT_EQ(hardware.descriptionWrites()[0].first, 2001u);
    EXPECT_EQ(hardware.descriptionWrites()[0].second.processes, (std::vector<AudioObjectID>{10}));
    EXPECT_EQ(hardware.descriptionWrites()[0].second.uuid, kUUID1);
    auto l = lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(std::get<Call>(l[0]).state, Call::State::started);
    // Then another of its processes appears: the tap follows, silently.
    hardware.setProcess(7, {107, "org.example.aux", 0});
    advance(2000ms);
    ASSERT_EQ(hardware.descriptionWrites().size(), 2u);
    EXPECT_EQ(hardware.descriptionWrites()[1].second.processes,
              (std::vector<AudioObjectID>{7, 10}));
    EXPECT_TRUE(lines().empty()) << "re-aiming sends nothing";
}

TEST_F(SessionTest, MembersOfAnotherFamilyOrAWholeSystemSessionAreIgnored) {
    configured();
    // The session follows Other while Conf's call runs: Conf's changes are not ours.
    startAndWait("s0", "com.other.app");
    hardware.setProcess(14, {104, "org.example.new", 0});
    advance(2000ms);
    EXPECT_TRUE(hardware.descriptionWrites().empty());
    stopAndWait("s0");

    startAndWait("s1");
    hardware.setProcess(17, {107, "org.example.newer", 0});
    advance(2000ms);
    ASSERT_EQ(hardware.descriptionWrites().size(), 1u);
    EXPECT_EQ(hardware.descriptionWrites()[0].second.processes,
              (std::vector<AudioObjectID>{10, 11, 14, 17}));
    stopAndWait("s1");

    startAndWait("s2", "ignored", Start::Audio::system);
    hardware.setProcess(15, {105, "org.example.more", 0});
    advance(2000ms);
    EXPECT_EQ(hardware.descriptionWrites().size(), 1u);
}

TEST_F(SessionTest, EchoCancellationHearsTheCallsSpeakersFollowsItsMembersAndEndsWithIt) {
    Configure c = conf();
    c.echoCancellation = true;
    helper->handle(c);
    advance(0ms);
    startAndWait("s1");
    // The call's tap as ever, then a second of the speakers the call plays
    // on, whose sound (other apps' too) is the microphone's reference.
    auto l = lines();
    const auto capture = std::get<Capture>(l.back());
    EXPECT_EQ(capture.others->tapUID, kUUID1);
    EXPECT_TRUE(capture.mic->voiceProcessing);
    auto taps = hardware.createdTaps();
    ASSERT_EQ(taps.size(), 2u);
    EXPECT_EQ(taps[0].mode, TapDescription::Mode::monoMixdownOfProcesses);
    EXPECT_EQ(taps[1].mode, TapDescription::Mode::monoMixdownOfProcessOutputs);
    EXPECT_EQ(taps[1].processes, (std::vector<AudioObjectID>{10, 11}));
    EXPECT_TRUE(taps[1].isPrivate);
    // Both follow the call's members.
    hardware.setProcess(14, {104, "org.example.new", 0});
    advance(2000ms);
    auto writes = hardware.descriptionWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_NE(writes[0].first, writes[1].first);
    for (const auto& [tap, description] : writes)
        EXPECT_EQ(description.processes, (std::vector<AudioObjectID>{10, 11, 14}));
    EXPECT_EQ(writes[1].second.mode, TapDescription::Mode::monoMixdownOfProcessOutputs);
    stopAndWait("s1");
    int destroyed = 0;
    for (const auto& call : hardware.tapCalls())
        destroyed += call.rfind("destroyProcessTap", 0) == 0;
    EXPECT_EQ(destroyed, 2);
    // A whole-system tap hears everything already: it is the reference.
    startAndWait("s2", "ignored", Start::Audio::system);
    EXPECT_EQ(hardware.createdTaps().size(), 3u);
    EXPECT_TRUE(std::get<Capture>(lines().back()).mic->voiceProcessing);
}

TEST_F(SessionTest, SystemAudioExcludesExactlyTheHelpersOwnObjects) {
    hardware.setProcess(16, {kOwnPid, "zorva-helper", 0}); // a second object of ours
    configured();
    startAndWait("s1", "org.example.conf", Start::Audio::system);
    auto tap = hardware.createdTaps().back();
    EXPECT_EQ(tap.mode, TapDescription::Mode::stereoGlobalTapButExcludeProcesses);
    EXPECT_EQ(tap.processes, (std::vector<AudioObjectID>{12, 16}));
    EXPECT_TRUE(tap.bundleIDs.empty());
    EXPECT_EQ(std::get<Capture>(lines().back()).others->processes, std::vector<int32_t>{});
}

TEST_F(SessionTest, ShutdownDuringASessionStopsCapturesAndSaysNothing) {
    configured();
    startAndWait("s1");
    lines();
    helper->handle(Shutdown{});
    EXPECT_EQ(exits, std::vector<int>{0});
    auto engineCalls = microphone.engines()[0]->calls();
    EXPECT_EQ(engineCalls.back(), "removeTap");
    EXPECT_EQ(hardware.tapCalls().back(), "destroyProcessTap 2001");
    EXPECT_TRUE(lines().empty());
}

TEST_F(SessionTest, SlowTranscriberStartLeavesTheMainQueueFree) {
    speech.analyzerScript.startDelay = 2000ms;
    configured();
    const int listsBefore = hardware.listQueries();
    start("s1");
    runFor(50ms);
    helper->handle(Ping{});
    EXPECT_TRUE(std::holds_alternative<Pong>(messages().back())) << "answered at once";
    advance(4000ms); // ticks go on while the start waits
    EXPECT_GE(hardware.listQueries(), listsBefore + 2);
    // A new configuration during the wait does not change the starting session.
    helper->handle(Configure{{{"Other", {"com.other"}}}, {}, {}, "en-US", 0, 10000, true});
    EXPECT_FALSE(sentCapture(Capture::State::started));
    ASSERT_TRUE(runUntil([&] { return sentCapture(Capture::State::started); }));
    auto l = lines();
    EXPECT_EQ(std::get<Capture>(l.back()).others->processes, (std::vector<int32_t>{100, 101}));
    for (const auto& a : speech.analyzers())
        EXPECT_FALSE(a->module().fastResults) << "the configuration taken at the start";
}

} // namespace
