#include "FakeAudioEngine.h"

#include <asio/post.hpp>

namespace zorva::fake {

void FakeAudioEngine::setInputFormat(AudioFormat f) {
    std::lock_guard g(lock_);
    format_ = f;
}

void FakeAudioEngine::failStart(std::optional<std::string> error) {
    std::lock_guard g(lock_);
    startError_ = std::move(error);
}

bool FakeAudioEngine::push(const PcmBuffer& buffer) {
    TapBlock tap;
    {
        std::lock_guard g(lock_);
        tap = tap_;
    }
    if (!tap)
        return false;
    tap(buffer);
    return true;
}

void FakeAudioEngine::fireConfigurationChange() {
    std::lock_guard g(lock_);
    for (const auto& [token, handler] : observers_)
        asio::post(mainQueue_, handler);
}

std::vector<std::string> FakeAudioEngine::calls() const {
    std::lock_guard g(lock_);
    return calls_;
}

bool FakeAudioEngine::tapped() const {
    std::lock_guard g(lock_);
    return static_cast<bool>(tap_);
}

std::size_t FakeAudioEngine::observers() const {
    std::lock_guard g(lock_);
    return observers_.size();
}

void FakeAudioEngine::record(std::string call) {
    std::lock_guard g(lock_);
    calls_.push_back(std::move(call));
}

AudioFormat FakeAudioEngine::inputFormat() {
    record("inputFormat");
    std::lock_guard g(lock_);
    return format_;
}

void FakeAudioEngine::installTap(uint32_t bufferFrames, const AudioFormat&, TapBlock block) {
    record("installTap " + std::to_string(bufferFrames));
    std::lock_guard g(lock_);
    tap_ = std::move(block);
}

void FakeAudioEngine::removeTap() {
    record("removeTap");
    std::lock_guard g(lock_);
    tap_ = nullptr;
}

void FakeAudioEngine::prepare() {
    record("prepare");
}

std::optional<std::string> FakeAudioEngine::start() {
    record("start");
    std::lock_guard g(lock_);
    return startError_;
}

void FakeAudioEngine::stop() {
    record("stop");
}

AudioEngine::ObserverToken
FakeAudioEngine::addConfigurationObserver(std::function<void()> handler) {
    record("addObserver");
    std::lock_guard g(lock_);
    observers_[nextToken_] = std::move(handler);
    return nextToken_++;
}

void FakeAudioEngine::removeConfigurationObserver(ObserverToken token) {
    record("removeObserver");
    std::lock_guard g(lock_);
    observers_.erase(token);
}

namespace {
// The capture's handle; the fake keeps the engine for the test to inspect.
class EngineHandle final : public AudioEngine {
public:
    explicit EngineHandle(std::shared_ptr<FakeAudioEngine> e) : e_(std::move(e)) {}
    AudioFormat inputFormat() override { return e_->inputFormat(); }
    void installTap(uint32_t frames, const AudioFormat& f, TapBlock b) override {
        e_->installTap(frames, f, std::move(b));
    }
    void removeTap() override { e_->removeTap(); }
    void prepare() override { e_->prepare(); }
    std::optional<std::string> start() override { return e_->start(); }
    void stop() override { e_->stop(); }
    ObserverToken addConfigurationObserver(std::function<void()> h) override {
        return e_->addConfigurationObserver(std::move(h));
    }
    void removeConfigurationObserver(ObserverToken t) override {
        e_->removeConfigurationObserver(t);
    }

private:
    std::shared_ptr<FakeAudioEngine> e_;
};
} // namespace

std::vector<std::shared_ptr<FakeAudioEngine>> FakeMicrophoneSystem::engines() const {
    std::lock_guard g(lock_);
    return engines_;
}

std::unique_ptr<AudioEngine> FakeMicrophoneSystem::makeEngine() {
    auto engine = std::make_shared<FakeAudioEngine>(mainQueue_);
    engine->setInputFormat(inputFormat);
    engine->failStart(startError);
    std::lock_guard g(lock_);
    engines_.push_back(engine);
    return std::make_unique<EngineHandle>(engine);
}

} // namespace zorva::fake
