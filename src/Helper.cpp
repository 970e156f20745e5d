#include "Helper.h"

#include "Transcriber.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace zorva {

namespace {

// What the exception being handled says, for an error line.
std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

} // namespace

void runDetachedThread(std::function<void()> work) {
    std::thread(std::move(work)).detach();
}

Helper::Helper(HelperEnvironment env)
    : env_(std::move(env)), lister_(env_.hardware), sessions_(env_.mainQueue) {}

int64_t Helper::millisecondsSinceLaunch() const {
    return millisecondsBetween(env_.launchInstant, env_.clock.now());
}

void Helper::handle(AppMessage message) {
    std::visit(
        [this](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Ping>) {
                env_.send(Pong{millisecondsSinceLaunch()});
            } else if constexpr (std::is_same_v<T, Shutdown>) {
                // Running captures stop first; transcribers and queued
                // session work are abandoned.
                stopCaptures();
                env_.exitProcess(0);
            } else if constexpr (std::is_same_v<T, Start>) {
                sessions_.enqueue([weak = weak_from_this(), start = m]() -> asio::awaitable<void> {
                    auto self = weak.lock();
                    if (!self)
                        co_return;
                    std::optional<std::string> failure;
                    try {
                        auto starting = self->startSession(start);
                        co_await std::move(starting);
                    } catch (...) {
                        failure = describeCurrentException();
                    }
                    if (failure) {
                        auto abandoning = self->abandonSession(*failure, /*stopping=*/false);
                        co_await std::move(abandoning);
                    }
                });
            } else if constexpr (std::is_same_v<T, Stop>) {
                sessions_.enqueue(
                    [weak = weak_from_this(), id = m.ref.sessionId]() -> asio::awaitable<void> {
                        auto self = weak.lock();
                        if (!self)
                            co_return;
                        std::optional<std::string> failure;
                        try {
                            auto stopping = self->stopSession(id);
                            co_await std::move(stopping);
                        } catch (...) {
                            failure = describeCurrentException();
                        }
                        if (failure) {
                            auto abandoning = self->abandonSession(*failure, /*stopping=*/true);
                            co_await std::move(abandoning);
                        }
                    });
            } else if constexpr (std::is_same_v<T, Configure>) {
                applyConfigure(m);
            } else if constexpr (std::is_same_v<T, PrepareModel>) {
                // Each request runs on its own, off the main queue; several
                // may run at once.
                std::string locale = configure_ ? configure_->locale : kDefaultLocale;
                try {
                    env_.runDetached([&speech = env_.speech, send = env_.send, locale] {
                        prepareModel(speech, locale, send);
                    });
                } catch (...) {
                    env_.send(HelperError{HelperError::Code::modelUnsupported,
                                          "cannot prepare the model: " + describeCurrentException(),
                                          false, std::nullopt});
                }
            }
            // unknown kinds are ignored
        },
        message);
}

void Helper::applyConfigure(const Configure& configure) {
    configure_ = configure;
    detector_.emplace(
        AppTable(configure.apps, configure.ignoreBundlePrefixes, configure.ignorePids),
        configure.micHoldMs, configure.endGraceMs);
    if (timer_)
        return; // the running timer keeps its schedule and uses the new detector
    timer_.emplace(env_.mainQueue);
    timer_->expires_at(QueueClock::now());
    waitForTick();
}

void Helper::waitForTick() {
    timer_->async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (error || !self)
            return;
        auto next = self->timer_->expiry() + kMonitorInterval;
        if (next <= QueueClock::now()) // after a long stall, don't fire a burst of ticks
            next = QueueClock::now() + kMonitorInterval;
        self->timer_->expires_at(next);
        self->waitForTick();
        self->reconcile();
        self->checkBacklog();
    });
}

void Helper::checkBacklog() {
    if (!sessionId_ || backlogReported_)
        return;
    for (const auto& [stream, transcriber] : transcribers_) {
        if (transcriber->droppedSeconds() <= 0)
            continue;
        // Once per session: the host learns that text is missing, not how often.
        backlogReported_ = true;
        const std::string text = "speech recognition fell behind on " +
                                 std::string(toString(stream)) + "; the oldest audio beyond " +
                                 std::to_string(env_.transcription.timing.inputBacklog.count()) +
                                 " s was dropped";
        env_.transcription.writeDiagnostic("session " + *sessionId_ + ": " + text + "\n");
        env_.send(HelperError{HelperError::Code::transcriberFailed, text, false, *sessionId_});
        return;
    }
}

void Helper::reconcile() {
    if (!detector_)
        return;
    auto processes = lister_.list();
    int64_t nowMs = millisecondsSinceLaunch();
    for (auto& event : detector_->update(processes, nowMs)) {
        // Each message reads its own time, after the detector ran.
        if (auto* started = std::get_if<CallStarted>(&event)) {
            aimTapAtNewCall(started->app);
            env_.send(Call{Call::State::started, std::move(started->app),
                           std::move(started->bundleId), std::move(started->pids),
                           started->sinceMicStartMs, std::nullopt, millisecondsSinceLaunch()});
        } else if (auto* ended = std::get_if<CallEnded>(&event)) {
            env_.send(Call{Call::State::ended, std::move(ended->app), std::move(ended->bundleId),
                           std::move(ended->pids), std::nullopt, ended->reason,
                           millisecondsSinceLaunch()});
        } else {
            retargetTap(std::get<MembersChanged>(event));
        }
    }
}

bool Helper::tapFollows(const std::string& app) const {
    // Only the family the running session follows, and only a live tap.
    return capturingApp_ && *capturingApp_ == app && tap_ && tap_->description() &&
           tap_->tap() != 0;
}

void Helper::retargetTap(const MembersChanged& change) {
    if (!tapFollows(change.app))
        return;
    for (const auto& tap : {tap_, echoReference_})
        if (tap && tap->description() && tap->tap() != 0) {
            tap->description()->processes = change.objectIDs;
            (void)env_.hardware.setTapDescription(tap->tap(), *tap->description());
        }
}

void Helper::aimTapAtNewCall(const std::string& app) {
    // A session may follow an app whose call the detector had not seen yet
    // (a start right after configure): its tap then follows no process, and
    // a call that appears is not a change of members. Without this the
    // session would never hear that call.
    if (!tapFollows(app))
        return;
    std::vector<AudioObjectID> ids;
    for (const auto& p : detector_->members(app))
        ids.push_back(p.objectID);
    std::sort(ids.begin(), ids.end());
    auto aimed = tap_->description()->processes;
    std::sort(aimed.begin(), aimed.end());
    if (ids.empty() || ids == aimed)
        return;
    retargetTap(MembersChanged{app, std::move(ids)});
}

asio::awaitable<void> Helper::startSession(Start start) {
    if (sessionId_ || !configure_ || !detector_)
        co_return; // refused silently
    // Taken once: a configure arriving during the waits below changes nothing here.
    const std::string localeId = configure_->locale;
    const bool fast = configure_->fastResults;
    const bool cancelEcho = configure_->echoCancellation;
    const std::string id = start.sessionId;
    sessionId_ = id;
    if (start.audio == Start::Audio::app)
        capturingApp_ = detector_->table().family(AudioProcess{0, -1, start.bundleId, false});
    const std::vector<AudioProcess> members = detector_->members(capturingApp_);
    const Instant captureStart = env_.clock.now();

    auto keepAlive = shared_from_this();
    SpeechPlatform& speech = env_.speech;
    // Awaitables are made in statements of their own: GCC 12 destroys
    // temporaries of a co_await expression twice.
    auto resolving =
        offMainQueue(env_.workers, [&speech, localeId] { return resolveLocale(speech, localeId); });
    auto locale = co_await std::move(resolving);
    if (!locale) {
        env_.send(HelperError{HelperError::Code::modelUnsupported,
                              "no supported locale for " + localeId, false, id});
        clearSession();
        co_return;
    }

    auto micT = std::make_shared<StreamTranscriber>(StreamName::mic, id, captureStart, env_.send,
                                                    env_.transcription);
    auto othersT = std::make_shared<StreamTranscriber>(StreamName::others, id, captureStart,
                                                       env_.send, env_.transcription);
    transcribers_ = {{StreamName::mic, micT}, {StreamName::others, othersT}};
    auto startOne = [this, &locale, fast](std::shared_ptr<StreamTranscriber> t) {
        return offMainQueue(env_.workers, [t, l = *locale, fast] { return t->start(l, fast); });
    };
    auto finishOne = [this](std::shared_ptr<StreamTranscriber> t) {
        return offMainQueue(env_.workers, [t] { t->finish(); });
    };
    auto startingMic = startOne(micT);
    std::optional<SpeechError> failure = co_await std::move(startingMic);
    if (!failure) {
        auto startingOthers = startOne(othersT);
        failure = co_await std::move(startingOthers);
    }
    if (failure) {
        env_.send(
            HelperError{HelperError::Code::transcriberFailed, failure->description, false, id});
        auto finishingMic = finishOne(micT);
        co_await std::move(finishingMic);
        auto finishingOthers = finishOne(othersT);
        co_await std::move(finishingOthers);
        clearSession();
        co_return;
    }

    // From here on there is no waiting point.
    Permission::Status micPermission = Permission::Status::notDetermined;
    switch (env_.microphone.recordPermission()) {
    case RecordPermission::granted:
        micPermission = Permission::Status::granted;
        break;
    case RecordPermission::denied:
        micPermission = Permission::Status::denied;
        break;
    case RecordPermission::undetermined:
        break;
    }
    env_.send(Permission{Permission::Kind::microphone, micPermission});

    // With echo cancellation the microphone is cleaned against what the
    // speakers play, each as it arrives; without it, not one sample of the
    // microphone's path changes. The speakers are those the call plays on,
    // other apps' sound included (a video, a notification); where they
    // cannot be read, and in system mode, what the tap hears.
    std::shared_ptr<EchoCanceller> canceller;
    if (cancelEcho)
        canceller = env_.makeEchoCanceller();
    // Set once the reference is settled: until then the tap feeds nothing to
    // the canceller, so that it never gets two references at once.
    auto tapIsReference = std::make_shared<std::atomic<bool>>(start.audio == Start::Audio::system);
    BufferCallback onMic = [micT](const PcmBuffer& b) { micT->feed(b); };
    BufferCallback onOthers = [othersT](const PcmBuffer& b) { othersT->feed(b); };
    if (canceller) {
        onMic = [micT, canceller](const PcmBuffer& b) { micT->feed(canceller->process(b)); };
        onOthers = [othersT, canceller, tapIsReference](const PcmBuffer& b) {
            if (*tapIsReference)
                canceller->addReference(b);
            othersT->feed(b);
        };
    }

    std::optional<MicInfo> micInfo;
    auto mic = std::make_shared<MicCapture>(
        env_.microphone.makeEngine(), std::move(onMic),
        [send = env_.send, id](const std::string& error) {
            send(HelperError{HelperError::Code::engineFailed, error, false, id});
        });
    auto micResult = mic->start();
    if (auto* info = std::get_if<MicInfo>(&micResult)) {
        mic_ = mic;
        micInfo = *info;
    } else {
        mic->stop();
        env_.send(HelperError{HelperError::Code::engineFailed,
                              std::get<CaptureError>(micResult).description, false, id});
    }

    std::optional<OthersInfo> othersInfo;
    auto tap = std::make_shared<TapCapture>(env_.hardware, std::move(onOthers), env_.makeUUID);
    std::variant<OthersInfo, TapError> tapResult;
    if (start.audio == Start::Audio::system) {
        std::vector<AudioObjectID> own;
        for (const auto& p : lister_.list())
            if (p.pid == static_cast<int32_t>(getpid()))
                own.push_back(p.objectID);
        tapResult = tap->start(std::nullopt, {}, {}, own);
    } else {
        std::vector<AudioObjectID> ids;
        std::vector<std::string> bundles;
        std::vector<int32_t> pids;
        for (const auto& p : members) {
            ids.push_back(p.objectID);
            bundles.push_back(p.bundleId);
            pids.push_back(p.pid);
        }
        std::sort(bundles.begin(), bundles.end());
        bundles.erase(std::unique(bundles.begin(), bundles.end()), bundles.end());
        tapResult = tap->start(ids, bundles, pids, {});
    }
    if (auto* info = std::get_if<OthersInfo>(&tapResult)) {
        tap_ = tap;
        othersInfo = *info;
        env_.send(Permission{Permission::Kind::systemAudio, Permission::Status::granted});
    } else {
        tap->stop();
        env_.send(HelperError{HelperError::Code::tapFailed,
                              std::get<TapError>(tapResult).description(), false, id});
        env_.send(Permission{Permission::Kind::systemAudio, Permission::Status::denied});
    }
    if (canceller && start.audio == Start::Audio::app && othersInfo) {
        auto reference = std::make_shared<TapCapture>(
            env_.hardware, [canceller](const PcmBuffer& b) { canceller->addReference(b); },
            env_.makeUUID);
        if (std::holds_alternative<OthersInfo>(
                reference->startOutputsOf(tap_->description()->processes))) {
            echoReference_ = reference;
        } else {
            reference->stop();
            *tapIsReference = true;
        }
    }
    // The followed app's call may have appeared while this start waited.
    if (capturingApp_ && members.empty())
        aimTapAtNewCall(*capturingApp_);
    // Cancelling needs a reference: without one the microphone passes
    // unchanged.
    if (micInfo)
        micInfo->voiceProcessing = canceller && othersInfo;
    env_.send(Capture{id, Capture::State::started, micInfo, othersInfo});
}

asio::awaitable<void> Helper::stopSession(std::string id) {
    if (!sessionId_ || *sessionId_ != id)
        co_return;
    auto keepAlive = shared_from_this();
    stopCaptures();
    // No more audio reaches them; each settles what it has.
    for (const auto& [stream, transcriber] : transcribers_) {
        auto finishing = offMainQueue(env_.workers, [t = transcriber] { t->finish(); });
        co_await std::move(finishing);
    }
    clearSession();
    env_.send(Capture{id, Capture::State::stopped, std::nullopt, std::nullopt});
    env_.send(Stopped{{id}});
}

asio::awaitable<void> Helper::abandonSession(std::string failure, bool stopping) {
    // A session whose operation threw must not stay set: every later start
    // would be refused without a word.
    if (!sessionId_)
        co_return;
    auto keepAlive = shared_from_this();
    const std::string id = *sessionId_;
    env_.transcription.writeDiagnostic("session " + id + " failed: " + failure + "\n");
    env_.send(
        HelperError{HelperError::Code::transcriberFailed, "session failed: " + failure, false, id});
    stopCaptures();
    // What was heard is still settled and sent, and the decoders are let go
    // off the main queue; one whose finish fails again is dropped.
    for (const auto& [stream, transcriber] : transcribers_) {
        auto finishing = offMainQueue(env_.workers, [t = transcriber] {
            try {
                t->finish();
            } catch (...) {
            }
        });
        co_await std::move(finishing);
    }
    clearSession();
    if (stopping) {
        // The host asked for the stop and waits for its answer.
        env_.send(Capture{id, Capture::State::stopped, std::nullopt, std::nullopt});
        env_.send(Stopped{{id}});
    }
}

void Helper::stopCaptures() {
    if (mic_)
        mic_->stop();
    for (const auto& tap : {tap_, echoReference_})
        if (tap)
            tap->stop();
}

void Helper::clearSession() {
    stopCaptures();
    mic_.reset();
    tap_.reset();
    echoReference_.reset();
    transcribers_.clear(); // not finished
    sessionId_.reset();
    capturingApp_.reset();
    backlogReported_ = false;
}

void exitProcess(int status) {
    std::_Exit(status);
}

} // namespace zorva
