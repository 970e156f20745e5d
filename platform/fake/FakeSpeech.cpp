#include "FakeSpeech.h"

#include <algorithm>
#include <system_error>

namespace zorva::fake {

// Owned by the platform's list and by the caller: the caller's handle.
class AnalyzerHandle final : public SpeechAnalyzer {
public:
    explicit AnalyzerHandle(std::shared_ptr<FakeAnalyzer> a) : a_(std::move(a)) {}
    std::optional<SpeechError> start(std::shared_ptr<AnalyzerInputStream> input) override {
        return a_->start(std::move(input));
    }
    std::optional<MediaTimeRange> volatileRange() override { return a_->volatileRange(); }
    std::optional<SpeechError> finalize(MediaTime t) override { return a_->finalize(t); }
    std::optional<SpeechError> finalizeAndFinishThroughEndOfInput() override {
        return a_->finalizeAndFinishThroughEndOfInput();
    }
    void cancelAndFinishNow() override { a_->cancelAndFinishNow(); }

private:
    std::shared_ptr<FakeAnalyzer> a_;
};

FakeAnalyzer::FakeAnalyzer(std::shared_ptr<SpeechTranscriber> module, Script script)
    : module_(std::move(module)), script_(std::move(script)) {}

FakeAnalyzer::~FakeAnalyzer() {
    cancelAndFinishNow();
    if (worker_.joinable())
        worker_.join();
}

std::optional<SpeechError> FakeAnalyzer::start(std::shared_ptr<AnalyzerInputStream> input) {
    std::this_thread::sleep_for(script_.startDelay);
    if (script_.startError)
        return script_.startError;
    if (script_.startThrows)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "cannot make the analyser's thread");
    inputHeld_ = script_.holdInput;
    input_ = std::move(input);
    worker_ = std::thread([this] { consume(); });
    return std::nullopt;
}

void FakeAnalyzer::consume() {
    AnalyzerInput in;
    double fedSeconds = 0;
    std::size_t nextResult = 0;
    {
        std::unique_lock g(lock_);
        changed_.wait(g, [&] { return !inputHeld_ || cancelled_; });
    }
    auto due = script_.resultsAt;
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    while (input_->next(in) == AnalyzerInputStream::Status::item) {
        fedSeconds =
            (in.start.seconds() + in.buffer->frameLength() / in.buffer->format().sampleRate);
        {
            std::lock_guard g(lock_);
            inputs_.push_back(in);
        }
        for (; nextResult < due.size() && due[nextResult].first <= fedSeconds + 1e-9; ++nextResult)
            module_->results->push(due[nextResult].second);
    }
    std::lock_guard g(lock_);
    inputEnded_ = true;
    changed_.notify_all();
}

std::optional<MediaTimeRange> FakeAnalyzer::volatileRange() {
    std::lock_guard g(lock_);
    return volatileRange_;
}

std::optional<SpeechError> FakeAnalyzer::finalize(MediaTime through) {
    std::lock_guard g(lock_);
    finalizeRequests_.push_back(through);
    return std::nullopt;
}

std::optional<SpeechError> FakeAnalyzer::finalizeAndFinishThroughEndOfInput() {
    if (script_.finishThrows)
        throw std::bad_alloc();
    std::unique_lock g(lock_);
    changed_.wait(g,
                  [&] { return cancelled_ || (inputEnded_ && !script_.finalizeNeverCompletes); });
    g.unlock();
    if (script_.failResultsWith && !cancelled())
        module_->results->finish(script_.failResultsWith);
    module_->results->finish();
    return std::nullopt;
}

void FakeAnalyzer::cancelAndFinishNow() {
    {
        std::lock_guard g(lock_);
        cancelled_ = true;
    }
    changed_.notify_all();
    if (input_)
        input_->finish();
    module_->results->finish();
}

void FakeAnalyzer::setVolatileRange(std::optional<MediaTimeRange> range) {
    std::lock_guard g(lock_);
    volatileRange_ = range;
}

void FakeAnalyzer::releaseInput() {
    {
        std::lock_guard g(lock_);
        inputHeld_ = false;
    }
    changed_.notify_all();
}

void FakeAnalyzer::emit(SpeechResult result) {
    module_->results->push(std::move(result));
}

std::vector<AnalyzerInput> FakeAnalyzer::inputs() const {
    std::lock_guard g(lock_);
    return inputs_;
}

std::vector<MediaTime> FakeAnalyzer::finalizeRequests() const {
    std::lock_guard g(lock_);
    return finalizeRequests_;
}

bool FakeAnalyzer::cancelled() const {
    std::lock_guard g(lock_);
    return cancelled_;
}

double FakeInstallationRequest::fractionCompleted() const {
    std::lock_guard g(lock_);
    if (!began_)
        return 0;
    double f = std::chrono::duration<double>(std::chrono::steady_clock::now() - *began_) /
               std::chrono::duration<double>(duration_);
    return std::min(f, 1.0);
}

std::optional<SpeechError> FakeInstallationRequest::downloadAndInstall() {
    {
        std::lock_guard g(lock_);
        began_ = std::chrono::steady_clock::now();
    }
    std::this_thread::sleep_for(duration_);
    return result_;
}

void FakeSpeechPlatform::supportLocale(const std::string& spelling, const std::string& id) {
    std::lock_guard g(lock_);
    locales_[spelling] = id;
}

void FakeSpeechPlatform::setStatus(const std::string& id, AssetStatus status) {
    std::lock_guard g(lock_);
    statuses_[id] = status;
}

void FakeSpeechPlatform::setInstallation(std::optional<SpeechError> requestError,
                                         std::shared_ptr<AssetInstallationRequest> request) {
    std::lock_guard g(lock_);
    requestError_ = std::move(requestError);
    request_ = std::move(request);
}

std::vector<std::shared_ptr<FakeAnalyzer>> FakeSpeechPlatform::analyzers() const {
    std::lock_guard g(lock_);
    return analyzers_;
}

std::vector<std::string> FakeSpeechPlatform::reserved() const {
    std::lock_guard g(lock_);
    return reserved_;
}

std::optional<SpeechLocale> FakeSpeechPlatform::supportedLocale(const std::string& spelling) {
    std::lock_guard g(lock_);
    auto it = locales_.find(spelling);
    if (it == locales_.end())
        return std::nullopt;
    return SpeechLocale{it->second};
}

std::optional<AudioFormat> FakeSpeechPlatform::bestAvailableAudioFormat(const SpeechTranscriber&) {
    std::lock_guard g(lock_);
    return bestFormat_;
}

std::unique_ptr<SpeechAnalyzer>
FakeSpeechPlatform::makeAnalyzer(std::shared_ptr<SpeechTranscriber> module) {
    std::lock_guard g(lock_);
    auto analyzer = std::make_shared<FakeAnalyzer>(std::move(module), analyzerScript);
    analyzers_.push_back(analyzer);
    return std::make_unique<AnalyzerHandle>(analyzer);
}

AssetStatus FakeSpeechPlatform::status(const SpeechTranscriber& module) {
    std::lock_guard g(lock_);
    auto it = statuses_.find(module.locale.identifier);
    return it == statuses_.end() ? AssetStatus::installed : it->second;
}

std::optional<SpeechError>
FakeSpeechPlatform::assetInstallationRequest(const SpeechTranscriber&,
                                             std::shared_ptr<AssetInstallationRequest>& out) {
    std::lock_guard g(lock_);
    out = request_;
    return requestError_;
}

void FakeSpeechPlatform::reserve(const SpeechLocale& locale) {
    std::lock_guard g(lock_);
    reserved_.push_back(locale.identifier);
}

} // namespace zorva::fake
