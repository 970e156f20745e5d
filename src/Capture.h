// The two capture streams: the microphone through the audio engine, and the
// audio that other processes play through a process tap.
#pragma once

#include "Protocol.h"
#include "platform/Audio.h"
#include "platform/AudioEngine.h"
#include "platform/AudioHardware.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zorva {

using BufferCallback = std::function<void(const PcmBuffer&)>;

// A capture that failed to start, with a readable description.
struct CaptureError {
    std::string description;
};

// The default input device through an audio engine. start and stop run on
// the main queue; the callback runs on the engine's thread with the engine's
// own buffer. The owner calls stop before dropping it.
class MicCapture : public std::enable_shared_from_this<MicCapture> {
public:
    // `onRestartFailed` hears once of a restart after a configuration change
    // that failed (again only after a later restart succeeded); the capture
    // keeps observing, so the next change tries again.
    MicCapture(std::unique_ptr<AudioEngine> engine, BufferCallback onBuffer,
               std::function<void(const std::string&)> onRestartFailed = {});

    // MicInfo, or the no-input error, or the engine's start error (the tap
    // then stays installed: half started, until stop).
    std::variant<MicInfo, CaptureError> start();
    // Brings every state back to idle; any number of times.
    void stop();

    bool tapped() const { return tapped_; }
    bool observing() const { return observer_.has_value(); }

private:
    void observe();
    void configurationChanged();

    std::unique_ptr<AudioEngine> engine_;
    std::optional<AudioEngine::ObserverToken> observer_;
    bool tapped_ = false;
    BufferCallback onBuffer_;
    std::function<void(const std::string&)> onRestartFailed_;
    bool restartFailureReported_ = false;
};

inline constexpr const char* kNoInputDescription = "no audio input device (MicError.noInput)";

// What went wrong at which step of starting a tap.
struct TapError {
    std::string step;
    OSStatus status = 0;
    std::string description() const; // "AudioDeviceStart failed with status 1 ..."
};

// A process tap on given processes (mono) or on everything but given
// processes (stereo), read through a private aggregate device whose I/O
// block copies each cycle into a new buffer for the callback. start and stop
// run on the main queue; the callback runs on the tap's own thread.
class TapCapture : public std::enable_shared_from_this<TapCapture> {
public:
    TapCapture(AudioHardware& hardware, BufferCallback onBuffer,
               std::function<std::string()> makeUUID);
    ~TapCapture(); // stops

    // `objectIDs` present: application mode on exactly those objects (even an
    // empty list); absent: the whole system except `excluding`. On failure
    // nothing is undone; stop removes what was made.
    std::variant<OthersInfo, TapError> start(std::optional<std::vector<AudioObjectID>> objectIDs,
                                             std::vector<std::string> bundleIDs,
                                             std::vector<int32_t> pids,
                                             std::vector<AudioObjectID> excluding);
    // Everything the output devices of `objectIDs` play, mono: what a room
    // hears from the speakers those processes use. Re-aimed as an
    // application tap is.
    std::variant<OthersInfo, TapError> startOutputsOf(std::vector<AudioObjectID> objectIDs);
    void stop();

    AudioObjectID tap() const { return tap_; }
    AudioObjectID device() const { return device_; }
    // Kept after stop; the monitoring loop edits and writes it to re-aim.
    std::optional<TapDescription>& description() { return description_; }

private:
    std::variant<OthersInfo, TapError> open(TapDescription d, std::vector<int32_t> pids);

    AudioHardware& hardware_;
    BufferCallback onBuffer_;
    std::function<std::string()> makeUUID_;
    AudioObjectID tap_ = 0;
    AudioObjectID device_ = 0;
    std::optional<AudioDeviceIOProcID> ioProc_;
    std::optional<TapDescription> description_;
};

// A PCM format for a stream description, if the platform can represent it.
std::optional<AudioFormat> formatFromStreamDescription(const AudioStreamBasicDescription& asbd);

} // namespace zorva
