#include "PulseAudioHardware.h"

#include "Connection.h"
#include "Microphone.h"
#include "Tap.h"

namespace zorva {

namespace {

// Threads: the property reads come from the main queue and only read the
// connection's cache, never waiting on the server; taps are the TapService's.
class PulseAudioHardware final : public AudioHardware {
public:
    explicit PulseAudioHardware(DiagnosticFn writeDiagnostic)
        : connection_(std::move(writeDiagnostic)), taps_(connection_) {}

    pulse::Connection& connection() { return connection_; }

    OSStatus getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                 uint32_t& outSize) override {
        if (property == AudioProperty::tapFormat && taps_.isTap(object)) {
            outSize = sizeof(AudioStreamBasicDescription);
            return kAudioHardwareNoError;
        }
        return connection_.withCache([&](pulse::ProcessCache& c) {
            return c.getPropertyDataSize(object, property, outSize);
        });
    }
    OSStatus getPropertyData(AudioObjectID object, AudioProperty property, uint32_t& ioSize,
                             void* data) override {
        if (property == AudioProperty::tapFormat) {
            if (ioSize < sizeof(AudioStreamBasicDescription))
                return kAudioHardwareBadPropertySizeError;
            auto* format = static_cast<AudioStreamBasicDescription*>(data);
            OSStatus status = taps_.tapFormat(object, *format);
            if (status == kAudioHardwareNoError)
                ioSize = sizeof(AudioStreamBasicDescription);
            return status;
        }
        return connection_.withCache([&](pulse::ProcessCache& c) {
            return c.getPropertyData(object, property, ioSize, data);
        });
    }
    OSStatus getStringProperty(AudioObjectID object, AudioProperty property,
                               std::string& out) override {
        return connection_.withCache(
            [&](pulse::ProcessCache& c) { return c.getStringProperty(object, property, out); });
    }

    OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description) override {
        return taps_.setTapDescription(tap, description);
    }
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override {
        return taps_.createProcessTap(description, outTap);
    }
    OSStatus destroyProcessTap(AudioObjectID tap) override { return taps_.destroyProcessTap(tap); }
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDevice) override {
        return taps_.createAggregateDevice(description, outDevice);
    }
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        return taps_.destroyAggregateDevice(device);
    }
    OSStatus createIOProcIDWithBlock(AudioObjectID device, const std::string& queueLabel,
                                     AudioDeviceIOBlock block,
                                     AudioDeviceIOProcID& outProc) override {
        return taps_.createIOProc(device, queueLabel, std::move(block), outProc);
    }
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) override {
        return taps_.destroyIOProc(device, proc);
    }
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) override {
        return taps_.start(device, proc);
    }
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) override {
        return taps_.stop(device, proc);
    }

private:
    pulse::Connection connection_;
    pulse::TapService taps_;
};

} // namespace

std::unique_ptr<AudioHardware> makePulseAudioHardware(DiagnosticFn writeDiagnostic) {
    return std::make_unique<PulseAudioHardware>(std::move(writeDiagnostic));
}

std::unique_ptr<MicrophoneSystem> makePulseMicrophoneSystem(AudioHardware& hardware,
                                                            PostFn postToMainQueue) {
    return pulse::makeMicrophoneSystem(dynamic_cast<PulseAudioHardware&>(hardware).connection(),
                                       std::move(postToMainQueue));
}

} // namespace zorva
