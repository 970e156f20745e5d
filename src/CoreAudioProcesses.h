// Snapshots of the audio hardware layer's process objects.
#pragma once

#include "platform/AudioHardware.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zorva {

// One process object at the moment of the read.
struct AudioProcess {
    AudioObjectID objectID = 0;
    int32_t pid = 0;
    std::string bundleId; // empty when it could not be read
    bool runningInput = false;
    bool operator==(const AudioProcess&) const = default;
};

// A source of snapshots. Called on the main queue.
class ProcessLister {
public:
    virtual ~ProcessLister() = default;
    virtual std::vector<AudioProcess> list() = 0;
};

// The process object identifiers in the layer's order; empty on any failure.
std::vector<AudioObjectID> processObjectIDs(AudioHardware& hardware);

// Lists every readable process object. Stateless; failures never escape: an
// object whose process identifier or running-input state cannot be read is
// skipped, one whose bundle identifier cannot be read is listed with "".
class CoreAudioLister final : public ProcessLister {
public:
    explicit CoreAudioLister(AudioHardware& hardware) : hardware_(hardware) {}
    std::vector<AudioProcess> list() override;

private:
    AudioHardware& hardware_;
};

} // namespace zorva
