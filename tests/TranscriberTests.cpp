#include "LevelMeter.h"
#include "SelfTest.h"
#include "Transcriber.h"
#include "platform/fake/FakeSpeech.h"
#include "platform/fake/ManualClock.h"
#include "support/Recorder.h"

#include <gtest/gtest.h>
#include <thread>

using namespace zorva;
using namespace std::chrono_literals;
using zorva::test::Recorder;

namespace {

SpeechResult result(const std::string& text, double start, double end, bool isFinal) {
    return {text,
            MediaTimeRange::fromStartEnd(MediaTime::fromSeconds(start, 1000000),
                                         MediaTime::fromSeconds(end, 1000000)),
            isFinal};
}

// ------------------------------------------------------------ results

struct ReporterTest : ::testing::Test {
    fake::ManualClock clock{100s};
    Recorder sent;
    ResultReporter reporter{StreamName::others, "s1", clock.now(), clock, sent.sendFn()};
    void at(int64_t ms, const SpeechResult& r) {
        clock.set(100s + std::chrono::milliseconds(ms));
        reporter.handle(r);
    }
};

TEST_F(ReporterTest, PartialThrottleAndRepeats) {
    at(1000, result("hello", 0.5, 1, false));
    at(1159, result("hello there", 0.5, 1, false)); // 159 ms later: dropped
    EXPECT_EQ(sent.messages().size(), 1u);
    at(1160, result("hello there", 0.5, 1, false)); // 160 ms: sent
    EXPECT_EQ(sent.messages().size(), 2u);
    at(1500, result(" hello there\n", 0.5, 1, false)); // same text once trimmed
    EXPECT_EQ(sent.messages(), (std::vector<HelperMessage>{
                                   PartialText{"s1", StreamName::others, "hello", 500},
                                   PartialText{"s1", StreamName::others, "hello there", 500}}));
}

TEST_F(ReporterTest, FinalClearsThePartialSoTheNextOneIsSentAtOnce) {
    at(1000, result("a b", 0, 1, false));
    at(1010, result("a b", 0, 1.5, true));
    at(1020, result("a b", 1.5, 2, false)); // same text, 10 ms later: still sent
    auto m = sent.messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1], HelperMessage(FinalText{"s1", StreamName::others, "a b", 0, 1500, 1010}));
    EXPECT_EQ(m[2], HelperMessage(PartialText{"s1", StreamName::others, "a b", 1500}));
}

TEST_F(ReporterTest, WhitespaceOnlySendsNothingAndKeepsThePartialState) {
    at(1000, result("one", 0, 1, false));
    at(1050, result(" \n\t ", 0, 1, false));
    at(1060, result("  \r\n", 0, 1, true));
    // No-break space, ideographic space, line and paragraph separators, NEL.
    at(1070, result("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\xE2\x80\xA9\xC2\x85", 0, 1, true));
    at(1100, result("two", 0, 1, false)); // still within 160 ms of "one"
    EXPECT_EQ(sent.messages().size(), 1u);
    // Trimmed in the Unicode sense at both ends, and only there; a zero-width
    // space is not white space, and invalid bytes are kept.
    at(2000, result("\xE2\x80\x83"
                    "caf\xC3\xA9\xC2\xA0ok\xE2\x80\xA8\xC2\xA0",
                    0, 1, true));
    at(2001, result("\xE2\x80\x8Bx\xFF\x0B", 0, 1, true));
    EXPECT_EQ(sent.messages(),
              (std::vector<HelperMessage>{
                  PartialText{"s1", StreamName::others, "one", 0},
                  FinalText{"s1", StreamName::others, "caf\xC3\xA9\xC2\xA0ok", 0, 1000, 2000},
                  FinalText{"s1", StreamName::others, "\xE2\x80\x8Bx\xFF", 0, 1000, 2001}}));
}

TEST_F(ReporterTest, MillisecondsAreTruncated) {
    at(0, result("x", 1.2345, 2.9999, true));
    EXPECT_EQ(sent.messages(), (std::vector<HelperMessage>{
                                   FinalText{"s1", StreamName::others, "x", 1234, 2999, 0}}));
    reporter.fail("recogniser went away");
    EXPECT_EQ(sent.messages().back(),
              HelperMessage(HelperError{HelperError::Code::transcriberFailed,
                                        "recogniser went away", false, "s1"}));
}

TEST(AnalyzerTimeline, PlacesFramesBackToBack) {
    AnalyzerTimeline t;
    EXPECT_EQ(t.place(0, 16000), std::nullopt);
    EXPECT_EQ(t.place(480, 16000), (MediaTime{0, 16000}));
    EXPECT_EQ(t.place(512, 16000), (MediaTime{480, 16000}));
    EXPECT_EQ(t.place(0, 16000), std::nullopt);
    EXPECT_EQ(t.framesPlaced(), 992);
    EXPECT_EQ(t.place(1, 16000), MediaTime::fromSeconds(0.062, 1000));
}

// ------------------------------------------------------------ transcriber

PcmBuffer tone(AudioFormat format, uint32_t frames, float value = 0.25f) {
    PcmBuffer b(format, frames);
    b.setFrameLength(frames);
    for (auto* plane : b.floatChannelData())
        std::fill(plane, plane + b.samplesPerPlane(frames), value);
    return b;
}

struct TranscriberTest : ::testing::Test {
    fake::FakeSpeechPlatform speech;
    fake::ManualClock clock{10s};
    Recorder sent;
    Recorder diagnostics;
    TranscriberTiming timing{50ms, 20ms, 200ms};

    std::shared_ptr<StreamTranscriber> make() {
        return std::make_shared<StreamTranscriber>(
            StreamName::mic, "s1", clock.now(), sent.sendFn(),
            TranscriberEnvironment{speech, clock, diagnostics.textFn(), timing});
    }
    std::shared_ptr<fake::FakeAnalyzer> analyzer() { return speech.analyzers().at(0); }
};

TEST_F(TranscriberTest, FormatChangeMakesANewConverterButTheTimelineRunsOn) {
    auto t = make();
    ASSERT_FALSE(t->start({"en-US"}, true));
    t->feed(tone({AudioFormat::Sample::float32, 48000, 2, false}, 4800)); // 100 ms
    t->feed(tone({AudioFormat::Sample::float32, 48000, 2, false}, 4800));
    t->feed(tone({AudioFormat::Sample::float32, 44100, 1, false}, 4410)); // another device
    t->feed(tone({AudioFormat::Sample::float32, 44100, 1, false}, 0));    // nothing to place
    // Then five minutes in buffers whose converted length is never whole:
    // after the first minute the output keeps pace with the input exactly.
    const PcmBuffer chunk = tone({AudioFormat::Sample::float32, 44100, 1, false}, 1024);
    constexpr int kMinute = 2584, kChunks = 5 * kMinute;
    int64_t afterAMinute = 0;
    for (int i = 0; i < kChunks; ++i) {
        t->feed(chunk);
        if (i + 1 == kMinute)
            afterAMinute = t->timeline().framesPlaced();
    }
    t->finish();
    auto inputs = analyzer()->inputs();
    ASSERT_GE(inputs.size(), 3u);
    int64_t expected = 0;
    for (const auto& in : inputs) {
        EXPECT_EQ(in.buffer->format(), (AudioFormat{AudioFormat::Sample::int16, 16000, 1, true}));
        EXPECT_EQ(in.start, (MediaTime{expected, 16000}));
        expected += in.buffer->frameLength();
    }
    EXPECT_EQ(t->timeline().framesPlaced(), expected);
    // All of it at 16 kHz, less what the resamplers hold, and no drift.
    EXPECT_LE(expected, 9600 / 3 + (4410 + kChunks * int64_t{1024}) * 16000 / 44100);
    EXPECT_NEAR(double(expected - afterAMinute), (kChunks - kMinute) * 1024 * 16000.0 / 44100,
                16 * 2)
        << "the stream drifted";
    // The stereo buffers were downmixed: 0.25 full scale in, about the same out.
    auto samples = inputs[1].buffer->int16ChannelData()[0];
    EXPECT_NEAR(samples[inputs[1].buffer->frameLength() / 2], 8192, 200);
}

TEST_F(TranscriberTest, ResultsAreSentAndFinishDrainsThem) {
    speech.analyzerScript.resultsAt = {{0.1, result("hi", 0, 0.1, false)},
                                       {0.2, result("hi there", 0, 0.2, true)}};
    auto t = make();
    ASSERT_FALSE(t->start({"en-US"}, false));
    for (int i = 0; i < 3; ++i)
        t->feed(tone({AudioFormat::Sample::float32, 16000, 1, false}, 1600));
    t->finish();
    auto m = sent.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::get<PartialText>(m[0]).text, "hi");
    EXPECT_EQ(std::get<FinalText>(m[1]).text, "hi there");
    EXPECT_FALSE(analyzer()->module().fastResults);
}

TEST_F(TranscriberTest, FailingResultsGiveOneTranscriberError) {
    speech.analyzerScript.failResultsWith = "decoder crashed";
    auto t = make();
    ASSERT_FALSE(t->start({"en-US"}, true));
    t->finish();
    EXPECT_EQ(sent.messages(),
              (std::vector<HelperMessage>{HelperError{HelperError::Code::transcriberFailed,
                                                      "decoder crashed", false, "s1"}}));
}

TEST_F(TranscriberTest, StallFinaliserSettlesTextVolatileForOverTwentySeconds) {
    auto fedSeconds = [&](double seconds) {
        auto t = make();
        EXPECT_FALSE(t->start({"en-US"}, true));
        speech.analyzers().back()->setVolatileRange(
            MediaTimeRange::fromStartEnd(MediaTime{3, 1}, MediaTime::fromSeconds(seconds, 1000)));
        t->feed(tone({AudioFormat::Sample::int16, 16000, 1, true},
                     static_cast<uint32_t>(seconds * 16000)));
        std::this_thread::sleep_for(200ms); // several stall checks
        t->finish();
        return speech.analyzers().back()->finalizeRequests();
    };
    auto requests = fedSeconds(23.5);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front(), (MediaTime{21500, 1000}));
    EXPECT_TRUE(fedSeconds(23.0).empty()) << "exactly 20 s volatile is not over the threshold";
}

TEST_F(TranscriberTest, WatchdogEndsAFinishThatNeverCompletes) {
    speech.analyzerScript.finalizeNeverCompletes = true;
    auto t = make();
    ASSERT_FALSE(t->start({"en-US"}, true));
    t->finish(); // returns once the watchdog has cancelled the analyser
    EXPECT_TRUE(analyzer()->cancelled());
}

TEST_F(TranscriberTest, FinishWithoutStartAndFailedStartAreSafe) {
    make()->finish();
    speech.analyzerScript.startError = SpeechError{"no model"};
    auto t = make();
    auto error = t->start({"en-US"}, true);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "no model");
    t->feed(tone({AudioFormat::Sample::float32, 16000, 1, false}, 160)); // meters only
    t->finish();
    EXPECT_TRUE(sent.messages().empty());
}

TEST_F(TranscriberTest, NoAnalyserFormatMeansFeedOnlyMeters) {
    speech.setBestFormat(std::nullopt);
    auto t = make();
    ASSERT_FALSE(t->start({"en-US"}, true));
    t->feed(tone({AudioFormat::Sample::float32, 16000, 1, false}, 1600));
    std::this_thread::sleep_for(120ms); // at least one meter line
    t->finish();
    EXPECT_TRUE(analyzer()->inputs().empty());
    auto lines = diagnostics.texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "meter mic: 1 buffers, 1600 frames in (16000 Hz 1 ch), peak -12.0 dBFS, "
                        "rms -12.0 dBFS; 0 frames to analyzer, peak -inf dBFS, rms -inf dBFS\n");
}

// ------------------------------------------------------------ meter

TEST(LevelMeter, ReportLinesForTheKnownCases) {
    LevelMeter m;
    EXPECT_EQ(m.report(StreamName::mic),
              "meter mic: 0 buffers, 0 frames in (none), peak -inf dBFS, rms -inf dBFS; "
              "0 frames to analyzer, peak -inf dBFS, rms -inf dBFS\n");
    m.add(tone({AudioFormat::Sample::float32, 48000, 1, false}, 100, 0.0f)); // silence
    m.add(tone({AudioFormat::Sample::float32, 44100, 2, false}, 100, 0.5f));
    EXPECT_EQ(m.input.samples, 300);
    EXPECT_EQ(m.report(StreamName::others),
              "meter others: 2 buffers, 200 frames in (44100 Hz 2 ch), peak -6.0 dBFS, rms -7.8 "
              "dBFS; 0 frames to analyzer, peak -inf dBFS, rms -inf dBFS\n");
    // The reset keeps the format.
    EXPECT_EQ(m.report(StreamName::mic),
              "meter mic: 0 buffers, 0 frames in (44100 Hz 2 ch), peak -inf dBFS, rms -inf dBFS; "
              "0 frames to analyzer, peak -inf dBFS, rms -inf dBFS\n");
}

TEST(Level, SampleTypesLayoutsAndExtremes) {
    PcmBuffer interleaved({AudioFormat::Sample::int16, 16000, 2, true}, 100);
    interleaved.setFrameLength(100);
    auto* s = interleaved.int16ChannelData()[0];
    std::fill(s, s + 200, int16_t(0));
    s[7] = -32768;
    Level l;
    l.add(interleaved);
    EXPECT_EQ(l.samples, 200);
    EXPECT_EQ(l.peak, 1.0);
    EXPECT_EQ(l.peakDbfs(), 0.0);
    s[7] = 32767;
    Level m;
    m.add(interleaved);
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", m.peakDbfs());
    EXPECT_STREQ(text, "-0.0");

    Level f;
    f.add(tone({AudioFormat::Sample::float32, 16000, 2, false}, 100, 0.5f));
    EXPECT_EQ(f.samples, 200);
    EXPECT_NEAR(f.peakDbfs(), -6.02, 0.01);
    EXPECT_NEAR(f.rmsDbfs(), -6.02, 0.01);

    LevelMeter meter;
    PcmBuffer ints({AudioFormat::Sample::int32, 8000, 1, false}, 50);
    ints.setFrameLength(50);
    meter.add(ints);
    meter.add(PcmBuffer({AudioFormat::Sample::float32, 8000, 1, false}, 10)); // 0 frames
    EXPECT_EQ(meter.buffers, 2);
    EXPECT_EQ(meter.framesIn, 50);
    EXPECT_EQ(meter.input.samples, 0);
    EXPECT_EQ(meter.format, "8000 Hz 1 ch");
}

// ------------------------------------------------------------ locales and models

struct ModelTest : ::testing::Test {
    fake::FakeSpeechPlatform speech;
    Recorder sent;
    void SetUp() override {
        speech.supportLocale("en-US", "en-US");
        speech.supportLocale("en_US", "en-US");
        speech.supportLocale("de-DE", "de-DE");
    }
    using Status = Model::Status;
};

TEST_F(ModelTest, ResolvesEquivalentsAndFallsBackToUsEnglish) {
    EXPECT_EQ(resolveLocale(speech, "en_US"), (SpeechLocale{"en-US"}));
    EXPECT_EQ(resolveLocale(speech, "de-DE"), (SpeechLocale{"de-DE"}));
    EXPECT_EQ(resolveLocale(speech, "fr-FR"), (SpeechLocale{"en-US"}));
    fake::FakeSpeechPlatform none;
    EXPECT_EQ(resolveLocale(none, "en-US"), std::nullopt);
    prepareModel(none, "xx", sent.sendFn());
    EXPECT_EQ(sent.messages(), (std::vector<HelperMessage>{Model{"xx", Status::unsupported, 0}}));
    EXPECT_TRUE(none.reserved().empty());
}

TEST_F(ModelTest, InstalledGivesOneMessageThenReserves) {
    prepareModel(speech, "fr-FR", sent.sendFn()); // falls back: reported as en-US
    EXPECT_EQ(sent.messages(),
              (std::vector<HelperMessage>{Model{"en-US", Status::installed, 1.0}}));
    EXPECT_EQ(speech.reserved(), std::vector<std::string>{"en-US"});
}

TEST_F(ModelTest, UnsupportedAssetsNoRequestAndRequestFailure) {
    speech.setStatus("de-DE", AssetStatus::unsupported);
    prepareModel(speech, "de-DE", sent.sendFn());
    speech.setStatus("de-DE", AssetStatus::supported);
    prepareModel(speech, "de-DE", sent.sendFn()); // no request: nothing to install
    speech.setInstallation(SpeechError{"install pocketsphinx-de"}, nullptr);
    prepareModel(speech, "de-DE", sent.sendFn());
    EXPECT_EQ(sent.messages(),
              (std::vector<HelperMessage>{
                  Model{"de-DE", Status::unsupported, 0}, Model{"de-DE", Status::installed, 1.0},
                  HelperError{HelperError::Code::modelUnsupported, "install pocketsphinx-de", false,
                              std::nullopt}}));
    EXPECT_EQ(speech.reserved().size(), 3u) << "reserved whatever happened";
}

TEST_F(ModelTest, DownloadReportsProgressEverySecondAndClosesLast) {
    speech.setStatus("de-DE", AssetStatus::supported);
    speech.setInstallation(std::nullopt,
                           std::make_shared<fake::FakeInstallationRequest>(2500ms, std::nullopt));
    prepareModel(speech, "de-DE", sent.sendFn());
    std::this_thread::sleep_for(1200ms); // a late reporter would show here
    auto m = sent.messages();
    ASSERT_EQ(m.size(), 4u) << "downloading at about 0, 1 and 2 s, then installed";
    double previous = -1;
    for (int i = 0; i < 3; ++i) {
        const auto& model = std::get<Model>(m[i]);
        EXPECT_EQ(model.status, Status::downloading);
        EXPECT_GT(model.progress, previous);
        previous = model.progress;
    }
    EXPECT_EQ(m[3], HelperMessage(Model{"de-DE", Status::installed, 1.0}));
}

TEST_F(ModelTest, FailedDownloadEndsWithOneErrorAndNothingAfter) {
    speech.setStatus("de-DE", AssetStatus::supported);
    speech.setInstallation(std::nullopt, std::make_shared<fake::FakeInstallationRequest>(
                                             1500ms, SpeechError{"network is down"}));
    prepareModel(speech, "de-DE", sent.sendFn());
    std::this_thread::sleep_for(1200ms);
    auto m = sent.messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(std::get<Model>(m[0]).status, Status::downloading);
    EXPECT_EQ(std::get<Model>(m[1]).status, Status::downloading);
    EXPECT_EQ(m[2], HelperMessage(HelperError{HelperError::Code::modelUnsupported,
                                              "network is down", false, std::nullopt}));
}

// ------------------------------------------------------------ file mode

TEST(SelfTestRequest, RecognisesTheSwitches) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(selfTestRequest({"helper"}), std::nullopt);
    EXPECT_EQ(selfTestRequest({"helper", "--transcribe-file"}), std::nullopt);
    EXPECT_EQ(selfTestRequest({"helper", "--transcribe-file", "a.wav"}),
              (SelfTestRequest{"a.wav", "en-IN", std::nullopt}));
    EXPECT_EQ(selfTestRequest({"helper", "--transcribe-file", "a.wav", "--locale"}),
              (SelfTestRequest{"a.wav", "en-IN", std::nullopt}));
    EXPECT_EQ(selfTestRequest(Args{"helper", "--locale", "de-DE", "--transcribe-file", "--x",
                                   "--transcribe-file", "b.wav", "--locale", "fr"}),
              (SelfTestRequest{"--x", "de-DE"}));
}

TEST(SelfTest, NoSupportedLocaleIsOneNoteAndStatusOne) {
    fake::FakeSpeechPlatform speech; // supports nothing
    fake::ManualClock clock;
    std::vector<std::string> notes;
    Recorder sent;
    // Any readable audio file will do; make one.
    std::string path = ::testing::TempDir() + "/silence.raw.wav";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        // A 44-byte WAV header for 16 kHz mono 16-bit with 3200 bytes of zeros.
        const unsigned char header[44] = {
            'R', 'I', 'F', 'F', 0xA4, 0x0C, 0,   0,   'W', 'A',  'V',  'E',  'f', 'm', 't',
            ' ', 16,  0,   0,   0,    1,    0,   1,   0,   0x80, 0x3E, 0,    0,   0,   0x7D,
            0,   0,   2,   0,   16,   0,    'd', 'a', 't', 'a',  0x80, 0x0C, 0,   0};
        std::fwrite(header, 1, sizeof header, f);
        std::vector<char> zeros(3200, 0);
        std::fwrite(zeros.data(), 1, zeros.size(), f);
        std::fclose(f);
    }
    int status = transcribeFile({path, "xx-YY"},
                                TranscriberEnvironment{speech, clock, [](std::string_view) {}},
                                sent.sendFn(), [&](const std::string& n) { notes.push_back(n); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(notes, std::vector<std::string>{"no supported locale for xx-YY"});
    // With the locale supported, the 1600 frames go in as one 0.1 s buffer.
    speech.supportLocale("en-US", "en-US");
    notes.clear();
    status = transcribeFile(
        {path, "xx-YY"}, TranscriberEnvironment{speech, clock, [](std::string_view) {}},
        sent.sendFn(), [&](const std::string& n) { notes.push_back(n); }, 0ms);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(notes.size(), 5u);
    EXPECT_EQ(notes[0], "locale en-US, assets installed");
    EXPECT_EQ(notes[2], "file 16000 Hz, 1 ch, float32, deinterleaved, 1600 frames");
    EXPECT_EQ(notes[3], "fed 1 buffers; finishing");
    EXPECT_EQ(notes[4], "done");
}

} // namespace
