// The audio engine's input side: the default input device as a node whose
// bus 0 can be tapped, and the notification that its configuration changed.
#pragma once

#include "Audio.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zorva {

// Threads: every method is called on the main queue. A tap block is called on
// a thread of the engine's choosing; configuration-change handlers are
// delivered on the main queue.
class AudioEngine {
public:
    using TapBlock = std::function<void(const PcmBuffer&)>;
    using ObserverToken = uint64_t;

    virtual ~AudioEngine() = default;

    // The input node's output format on bus 0 (rate 0 or no channels when
    // there is no usable input).
    virtual AudioFormat inputFormat() = 0;
    virtual void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) = 0;
    virtual void removeTap() = 0;
    virtual void prepare() = 0;
    // An error text when the engine cannot start.
    virtual std::optional<std::string> start() = 0;
    virtual void stop() = 0;

    virtual ObserverToken addConfigurationObserver(std::function<void()> handler) = 0;
    virtual void removeConfigurationObserver(ObserverToken token) = 0;
};

enum class RecordPermission { granted, denied, undetermined };

// The microphone side of the platform: new engines and the permission.
class MicrophoneSystem {
public:
    virtual ~MicrophoneSystem() = default;
    virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
    virtual RecordPermission recordPermission() = 0;
};

} // namespace zorva
