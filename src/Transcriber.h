// One stream of captured audio turned into partial and final text, and the
// locale and model preparation around it.
#pragma once

#include "LevelMeter.h"
#include "Protocol.h"
#include "Transport.h"
#include "platform/Audio.h"
#include "platform/Clock.h"
#include "platform/MediaTime.h"
#include "platform/Speech.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

// Frames handed to the analyser so far; the start time of the next buffer.
class AnalyzerTimeline {
public:
    // The start time of `frames` new frames (nothing for 0), then advances.
    std::optional<MediaTime> place(uint32_t frames, double rate);
    int64_t framesPlaced() const { return framesPlaced_.load(); }

private:
    std::atomic<int64_t> framesPlaced_{0}; // read by the stall finaliser
};

// Turns the analyser's results into partial and final messages: trims them,
// drops whitespace, repeats and partials that come within 160 ms of the last
// one sent. Used by one thread at a time (the result loop).
class ResultReporter {
public:
    ResultReporter(StreamName stream, std::string sessionId, Instant captureStart,
                   const Clock& clock, SendFn send)
        : stream_(stream), sessionId_(std::move(sessionId)), captureStart_(captureStart),
          clock_(clock), send_(std::move(send)) {}

    void handle(const SpeechResult& result);
    void fail(const std::string& description);

private:
    StreamName stream_;
    std::string sessionId_;
    Instant captureStart_;
    const Clock& clock_;
    SendFn send_;
    std::optional<std::string> lastPartial_;
    int64_t lastPartialAtMs_ = 0; // kept when a final clears the text
};

struct TranscriberTiming {
    std::chrono::milliseconds meterInterval{5000};
    std::chrono::milliseconds stallInterval{1000};
    std::chrono::milliseconds finishWatchdog{3000};
    // Audio waiting for the analyser past this is dropped, oldest first, so
    // that a recogniser that falls behind cannot grow memory for the rest of
    // the call.
    std::chrono::seconds inputBacklog{60};
};

// What a transcriber needs from the process; tests pass their own.
struct TranscriberEnvironment {
    SpeechPlatform& speech;
    const Clock& clock;
    std::function<void(std::string_view)> writeDiagnostic; // standard error
    TranscriberTiming timing{};
};

// A background loop's cancellation: a flag, a sleep that ends early when it
// is set, and a latch that tells when the loop has ended.
class TaskControl {
public:
    void cancel();
    bool cancelled() const;
    // Sleeps for `d`; false when cancelled meanwhile.
    bool sleepFor(std::chrono::milliseconds d);
    void markDone();
    void waitDone();

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    bool done_ = false;
};

// Calling order: start once, feed any number of times (from one capture
// thread at a time), then finish once. start and finish block and must not
// run on the main queue. Background loops hold the transcriber weakly.
class StreamTranscriber : public std::enable_shared_from_this<StreamTranscriber> {
public:
    StreamTranscriber(StreamName stream, std::string sessionId, Instant captureStart, SendFn send,
                      TranscriberEnvironment env);
    ~StreamTranscriber();

    std::optional<SpeechError> start(const SpeechLocale& locale, bool fast);
    void feed(const PcmBuffer& buffer);
    // Ends the input, lets the analyser settle what it has (at most about the
    // watchdog time), sends every result it delivered, and stops the loops.
    void finish();

    static std::shared_ptr<SpeechTranscriber> makeTranscriber(const SpeechLocale& locale,
                                                              bool fast);

    StreamName stream() const { return stream_; }
    const AnalyzerTimeline& timeline() const { return timeline_; }
    // Seconds of audio dropped because the analyser fell behind; any thread.
    double droppedSeconds() const;

private:
    static void resultLoop(std::weak_ptr<StreamTranscriber> weak,
                           std::shared_ptr<SpeechTranscriber> module,
                           std::shared_ptr<TaskControl> task);
    void stallCheck();
    void stopTasks(); // the loops end and the analyser is let go

    const StreamName stream_;
    const std::string sessionId_;
    const Instant captureStart_;
    const SendFn send_;
    TranscriberEnvironment env_;

    // Handed over between start/finish and the capture thread and loops.
    mutable std::mutex handoff_;
    std::shared_ptr<SpeechAnalyzer> analyzer_;
    std::shared_ptr<AnalyzerInputStream> continuation_;
    std::optional<AudioFormat> analyzerFormat_;

    std::unique_ptr<FormatConverter> converter_; // capture thread only
    AnalyzerTimeline timeline_;

    std::mutex meterLock_;
    LevelMeter meter_;

    std::vector<std::shared_ptr<TaskControl>> tasks_;
    ResultReporter reporter_; // the result loop's
};

// The supported locale equivalent to `identifier`, else that of "en-US".
std::optional<SpeechLocale> resolveLocale(SpeechPlatform& speech, const std::string& identifier);

// Checks, installs (with progress every second) and reserves the model for
// a locale, reporting through `send`. Blocks until done; the closing
// `model` or `error` message is always the last one sent.
void prepareModel(SpeechPlatform& speech, const std::string& localeId, const SendFn& send,
                  std::chrono::milliseconds progressInterval = std::chrono::seconds(1));

} // namespace zorva
