// The helper's single controller. Every member runs on the main queue only.
#pragma once

#include "Capture.h"
#include "CoreAudioProcesses.h"
#include "Detector.h"
#include "Protocol.h"
#include "SessionQueue.h"
#include "Transcriber.h"
#include "Transport.h"
#include "platform/AudioEngine.h"
#include "platform/AudioHardware.h"
#include "platform/Clock.h"
#include "platform/EchoCanceller.h"
#include "platform/Speech.h"

#include <asio/basic_waitable_timer.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace zorva {

inline constexpr const char* kHelperVersion = "0.1.0";
inline constexpr std::chrono::seconds kMonitorInterval{2};

using QueueTimer = asio::basic_waitable_timer<QueueClock, QueueWaitTraits>;

// Runs `work` on a new detached thread; throws std::system_error when no
// thread can be made.
void runDetachedThread(std::function<void()> work);

// What the controller needs from the process around it; tests pass their own.
struct HelperEnvironment {
    asio::io_context& mainQueue;
    const Clock& clock;
    Instant launchInstant;
    SendFn send;
    std::function<void(int status)> exitProcess; // does not return in the real process
    AudioHardware& hardware;
    SpeechPlatform& speech;
    MicrophoneSystem& microphone;
    asio::thread_pool& workers; // for blocking work: models, transcriber start and finish
    TranscriberEnvironment transcription;
    std::function<std::string()> makeUUID;
    std::function<void(std::function<void()>)> runDetached = runDetachedThread;
    std::function<std::unique_ptr<EchoCanceller>()> makeEchoCanceller = [] {
        return zorva::makeEchoCanceller();
    };
};

// The locale used for model preparation until a configuration names one.
inline constexpr const char* kDefaultLocale = "en-IN";

class Helper : public std::enable_shared_from_this<Helper> {
public:
    explicit Helper(HelperEnvironment env);

    // One decoded host message, on the main queue. Never blocks.
    void handle(AppMessage message);

    // Stores the configuration, replaces the detector, and the first time
    // starts the monitoring timer (first tick right after the current work).
    void applyConfigure(const Configure& configure);

    // One monitoring tick: list, detect, report. Runs from the timer.
    void reconcile();

    // Milliseconds from launch to now on the continuous clock, read afresh.
    int64_t millisecondsSinceLaunch() const;

    // Session operations, run through the session queue.
    asio::awaitable<void> startSession(Start start);
    asio::awaitable<void> stopSession(std::string sessionId);
    void stopCaptures();
    void clearSession();
    // After a session operation threw: one error line, the session cleared,
    // and for a stop the lines the host waits for.
    asio::awaitable<void> abandonSession(std::string failure, bool stopping);

private:
    void waitForTick();
    // Reports, once per session, audio dropped because a recogniser fell behind.
    void checkBacklog();
    void retargetTap(const MembersChanged& change);
    void aimTapAtNewCall(const std::string& app);
    bool tapFollows(const std::string& app) const;

    HelperEnvironment env_;
    CoreAudioLister lister_;
    std::optional<Configure> configure_;
    std::optional<Detector> detector_;
    // Created by the first configure, never replaced; holds us weakly.
    std::optional<QueueTimer> timer_;
    std::optional<std::string> sessionId_;
    std::optional<std::string> capturingApp_;
    bool backlogReported_ = false;
    std::shared_ptr<MicCapture> mic_;
    std::shared_ptr<TapCapture> tap_;
    // With echo cancellation in application mode: what the call's speakers
    // play, the microphone's reference.
    std::shared_ptr<TapCapture> echoReference_;
    std::map<StreamName, std::shared_ptr<StreamTranscriber>> transcribers_;
    SessionQueue sessions_;
};

// Ends the process at once with `status`, running no destructors: other
// threads (reader, audio, recognisers) may still be inside their work.
[[noreturn]] void exitProcess(int status);

} // namespace zorva
