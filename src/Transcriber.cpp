#include "Transcriber.h"

#include "Text.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

namespace zorva {

namespace {

int64_t toMs(MediaTime t) {
    return static_cast<int64_t>(std::trunc(t.seconds() * 1000.0));
}

// Runs `body` on its own thread with a TaskControl it can watch.
std::shared_ptr<TaskControl> spawn(std::function<void(std::shared_ptr<TaskControl>)> body) {
    auto task = std::make_shared<TaskControl>();
    std::thread([task, body = std::move(body)] {
        body(task);
        task->markDone();
    }).detach();
    return task;
}

} // namespace

// ---------------------------------------------------------------- tasks

void TaskControl::cancel() {
    {
        std::lock_guard g(lock_);
        cancelled_ = true;
    }
    changed_.notify_all();
}

bool TaskControl::cancelled() const {
    std::lock_guard g(lock_);
    return cancelled_;
}

bool TaskControl::sleepFor(std::chrono::milliseconds d) {
    std::unique_lock g(lock_);
    return !changed_.wait_for(g, d, [&] { return cancelled_; });
}

void TaskControl::markDone() {
    {
        std::lock_guard g(lock_);
        done_ = true;
    }
    changed_.notify_all();
}

void TaskControl::waitDone() {
    std::unique_lock g(lock_);
    changed_.wait(g, [&] { return done_; });
}

// ---------------------------------------------------------------- timeline

std::optional<MediaTime> AnalyzerTimeline::place(uint32_t frames, double rate) {
    if (frames == 0)
        return std::nullopt;
    MediaTime start{framesPlaced_.load(), static_cast<int32_t>(rate)};
    framesPlaced_ += frames;
    return start;
}

// ---------------------------------------------------------------- transcriber

StreamTranscriber::StreamTranscriber(StreamName stream, std::string sessionId, Instant captureStart,
                                     SendFn send, TranscriberEnvironment env)
    : stream_(stream), sessionId_(std::move(sessionId)), captureStart_(captureStart),
      send_(std::move(send)), env_(std::move(env)),
      reporter_(stream_, sessionId_, captureStart_, env_.clock, send_) {}

StreamTranscriber::~StreamTranscriber() {
    // Loops still running end at their next wake-up: they hold us weakly.
    for (auto& task : tasks_)
        task->cancel();
}

std::shared_ptr<SpeechTranscriber> StreamTranscriber::makeTranscriber(const SpeechLocale& locale,
                                                                      bool fast) {
    auto module = std::make_shared<SpeechTranscriber>();
    module->locale = locale;
    module->volatileResults = true;
    module->fastResults = fast;
    module->audioTimeRange = true;
    return module;
}

std::optional<SpeechError> StreamTranscriber::start(const SpeechLocale& locale, bool fast) {
    auto module = makeTranscriber(locale, fast);
    auto format = env_.speech.bestAvailableAudioFormat(*module);
    std::shared_ptr<SpeechAnalyzer> analyzer = env_.speech.makeAnalyzer(module);
    const double rate = format ? format->sampleRate : 16000;
    auto input = std::make_shared<AnalyzerInputStream>(
        [](const AnalyzerInput& in) -> std::size_t {
            return in.buffer ? in.buffer->frameLength() : 0;
        },
        static_cast<std::size_t>(rate * static_cast<double>(env_.timing.inputBacklog.count())));
    {
        std::lock_guard g(handoff_);
        analyzerFormat_ = format;
        analyzer_ = analyzer;
        continuation_ = input;
    }
    if (auto error = analyzer->start(input))
        return error;

    std::weak_ptr<StreamTranscriber> weak = weak_from_this();
    tasks_.push_back(spawn(
        [weak, module](std::shared_ptr<TaskControl> task) { resultLoop(weak, module, task); }));
    TranscriberTiming timing = env_.timing;
    tasks_.push_back(spawn([weak, timing](std::shared_ptr<TaskControl> task) {
        while (!task->cancelled()) {
            task->sleepFor(timing.meterInterval);
            auto self = weak.lock();
            if (!self || task->cancelled())
                return;
            std::string line;
            {
                std::lock_guard g(self->meterLock_);
                line = self->meter_.report(self->stream_);
            }
            self->env_.writeDiagnostic(line);
        }
    }));
    tasks_.push_back(spawn([weak, timing](std::shared_ptr<TaskControl> task) {
        while (!task->cancelled()) {
            task->sleepFor(timing.stallInterval);
            auto self = weak.lock();
            if (!self || task->cancelled())
                return;
            {
                std::lock_guard g(self->handoff_);
                if (!self->analyzer_ || !self->analyzerFormat_)
                    return;
            }
            self->stallCheck();
        }
    }));
    return std::nullopt;
}

void StreamTranscriber::stallCheck() {
    std::shared_ptr<SpeechAnalyzer> analyzer;
    double rate = 0;
    {
        std::lock_guard g(handoff_);
        analyzer = analyzer_;
        rate = analyzerFormat_ ? analyzerFormat_->sampleRate : 0;
    }
    if (!analyzer || rate <= 0)
        return;
    const double fed = static_cast<double>(timeline_.framesPlaced()) / rate;
    auto range = analyzer->volatileRange();
    // Text that has stayed volatile for over 20 s of audio is settled up to
    // 2 s before the newest audio.
    if (range && fed - range->start.seconds() > 20)
        (void)analyzer->finalize(MediaTime::fromSeconds(fed - 2, 1000));
}

void StreamTranscriber::feed(const PcmBuffer& buffer) {
    {
        std::lock_guard g(meterLock_);
        meter_.add(buffer);
    }
    std::shared_ptr<AnalyzerInputStream> input;
    std::optional<AudioFormat> format;
    {
        std::lock_guard g(handoff_);
        input = continuation_;
        format = analyzerFormat_;
    }
    if (!input || !format)
        return;
    if (!converter_ || !(converter_->inputFormat() == buffer.format()))
        converter_ = FormatConverter::make(buffer.format(), *format);
    if (!converter_)
        return;
    const auto capacity = static_cast<uint32_t>(static_cast<double>(buffer.frameLength()) *
                                                format->sampleRate / buffer.format().sampleRate) +
                          1;
    auto output = std::make_shared<PcmBuffer>(*format, capacity);
    if (converter_->convert(buffer, *output))
        return; // a conversion error drops this buffer
    auto start = timeline_.place(output->frameLength(), format->sampleRate);
    if (!start)
        return;
    const uint32_t produced = output->frameLength();
    input->push(AnalyzerInput{output, *start});
    std::lock_guard g(meterLock_);
    meter_.framesOut += produced;
    meter_.output.add(*output);
}

double StreamTranscriber::droppedSeconds() const {
    std::lock_guard g(handoff_);
    if (!continuation_ || !analyzerFormat_)
        return 0;
    return static_cast<double>(continuation_->dropped()) / analyzerFormat_->sampleRate;
}

void StreamTranscriber::finish() {
    std::shared_ptr<SpeechAnalyzer> analyzer;
    std::shared_ptr<AnalyzerInputStream> input;
    double rate = 0;
    {
        std::lock_guard g(handoff_);
        analyzer = analyzer_;
        input = continuation_;
        rate = analyzerFormat_ ? analyzerFormat_->sampleRate : 0;
    }
    if (input && rate > 0) {
        // How close the recogniser came to its backlog bound, for benchmarks.
        char line[160];
        std::snprintf(line, sizeof line, "transcriber %s: at most %.2f s of audio waited\n",
                      std::string(toString(stream_)).c_str(),
                      static_cast<double>(input->peak()) / rate);
        env_.writeDiagnostic(line);
    }
    if (input)
        input->finish();
    if (analyzer) {
        auto watchdogTime = env_.timing.finishWatchdog;
        auto watchdog = spawn([analyzer, watchdogTime](std::shared_ptr<TaskControl> task) {
            if (task->sleepFor(watchdogTime))
                analyzer->cancelAndFinishNow();
        });
        try {
            (void)analyzer->finalizeAndFinishThroughEndOfInput();
        } catch (...) {
            // Nothing of this transcriber may go on running after it.
            watchdog->cancel();
            watchdog->waitDone();
            analyzer->cancelAndFinishNow();
            stopTasks();
            throw;
        }
        watchdog->cancel();
        watchdog->waitDone();
    }
    // The result loop sends what was delivered before it stops.
    stopTasks();
}

void StreamTranscriber::stopTasks() {
    for (auto& task : tasks_)
        task->cancel();
    for (auto& task : tasks_)
        task->waitDone();
    std::lock_guard g(handoff_);
    analyzer_.reset();
    continuation_.reset();
}

void StreamTranscriber::resultLoop(std::weak_ptr<StreamTranscriber> weak,
                                   std::shared_ptr<SpeechTranscriber> module,
                                   std::shared_ptr<TaskControl> task) {
    for (;;) {
        SpeechResult result;
        std::string error;
        auto status = module->results->next(result, std::chrono::milliseconds(100), &error);
        if (status == ResultStream::Status::timeout) {
            if (task->cancelled() || weak.expired())
                return;
            continue;
        }
        if (status == ResultStream::Status::ended)
            return;
        auto self = weak.lock();
        if (!self)
            return;
        if (status == ResultStream::Status::failed) {
            self->reporter_.fail(error);
            return;
        }
        self->reporter_.handle(result);
    }
}

void ResultReporter::handle(const SpeechResult& result) {
    std::string text = trimmedWhitespace(result.text);
    if (text.empty())
        return;
    const int64_t startMs = toMs(result.range.start);
    const int64_t now = millisecondsBetween(captureStart_, clock_.now());
    if (result.isFinal) {
        lastPartial_.reset();
        send_(FinalText{sessionId_, stream_, text, startMs, toMs(result.range.end()), now});
        return;
    }
    if (lastPartial_ && *lastPartial_ == text)
        return;
    if (lastPartial_ && now - lastPartialAtMs_ < 160)
        return; // dropped, not held back
    send_(PartialText{sessionId_, stream_, text, startMs});
    lastPartial_ = text;
    lastPartialAtMs_ = now;
}

void ResultReporter::fail(const std::string& description) {
    send_(HelperError{HelperError::Code::transcriberFailed, description, false, sessionId_});
}

// ---------------------------------------------------------------- locales and models

std::optional<SpeechLocale> resolveLocale(SpeechPlatform& speech, const std::string& identifier) {
    if (auto locale = speech.supportedLocale(identifier))
        return locale;
    return speech.supportedLocale("en-US");
}

void prepareModel(SpeechPlatform& speech, const std::string& localeId, const SendFn& send,
                  std::chrono::milliseconds progressInterval) {
    auto locale = resolveLocale(speech, localeId);
    if (!locale) {
        send(Model{localeId, Model::Status::unsupported, 0});
        return;
    }
    const std::string id = locale->identifier;
    auto module = StreamTranscriber::makeTranscriber(*locale, /*fast=*/false);
    auto modelError = [&](const SpeechError& e) {
        send(HelperError{HelperError::Code::modelUnsupported, e.description, false, std::nullopt});
    };
    switch (speech.status(*module)) {
    case AssetStatus::unsupported:
        send(Model{id, Model::Status::unsupported, 0});
        break;
    case AssetStatus::installed:
        send(Model{id, Model::Status::installed, 1.0});
        break;
    default: {
        std::shared_ptr<AssetInstallationRequest> request;
        if (auto error = speech.assetInstallationRequest(*module, request)) {
            modelError(*error);
            break;
        }
        if (!request) {
            send(Model{id, Model::Status::installed, 1.0});
            break;
        }
        auto reporter =
            spawn([request, id, send, progressInterval](std::shared_ptr<TaskControl> t) {
                while (!t->cancelled()) {
                    send(Model{id, Model::Status::downloading, request->fractionCompleted()});
                    t->sleepFor(progressInterval);
                }
            });
        auto error = request->downloadAndInstall();
        // The reporter has ended before the closing message: it is last.
        reporter->cancel();
        reporter->waitDone();
        if (error)
            modelError(*error);
        else
            send(Model{id, Model::Status::installed, 1.0});
    }
    }
    speech.reserve(*locale);
}

} // namespace zorva
