// A scripted audio engine: the test pushes buffers through the installed tap
// (from its own thread), fires configuration changes, makes steps fail, and
// reads back every call that was made.
#pragma once

#include "platform/AudioEngine.h"

#include <asio/io_context.hpp>
#include <map>
#include <mutex>
#include <vector>

namespace zorva::fake {

class FakeAudioEngine final : public AudioEngine {
public:
    explicit FakeAudioEngine(asio::io_context& mainQueue) : mainQueue_(mainQueue) {}

    // ---- scripting
    void setInputFormat(AudioFormat f);
    void failStart(std::optional<std::string> error);
    // Calls the installed tap block with `buffer`, as the engine's thread
    // would; false when no tap is installed.
    bool push(const PcmBuffer& buffer);
    // Posts every registered handler to the main queue.
    void fireConfigurationChange();

    // ---- observations
    std::vector<std::string> calls() const; // "installTap 4800", "prepare", "start", ...
    bool tapped() const;
    std::size_t observers() const;

    // ---- AudioEngine
    AudioFormat inputFormat() override;
    void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) override;
    void removeTap() override;
    void prepare() override;
    std::optional<std::string> start() override;
    void stop() override;
    ObserverToken addConfigurationObserver(std::function<void()> handler) override;
    void removeConfigurationObserver(ObserverToken token) override;

private:
    void record(std::string call);

    asio::io_context& mainQueue_;
    mutable std::mutex lock_;
    AudioFormat format_{AudioFormat::Sample::float32, 48000, 1, false};
    std::optional<std::string> startError_;
    TapBlock tap_;
    std::vector<std::string> calls_;
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextToken_ = 1;
};

class FakeMicrophoneSystem final : public MicrophoneSystem {
public:
    explicit FakeMicrophoneSystem(asio::io_context& mainQueue) : mainQueue_(mainQueue) {}

    // Applied to every engine made from now on.
    AudioFormat inputFormat{AudioFormat::Sample::float32, 48000, 1, false};
    std::optional<std::string> startError;
    RecordPermission permission = RecordPermission::granted;

    std::vector<std::shared_ptr<FakeAudioEngine>> engines() const; // every one made
    std::unique_ptr<AudioEngine> makeEngine() override;
    RecordPermission recordPermission() override { return permission; }

private:
    asio::io_context& mainQueue_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<FakeAudioEngine>> engines_;
};

} // namespace zorva::fake
