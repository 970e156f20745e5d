// Process taps, the aggregate devices that read them and their I/O procs, on
// the audio server. They are the helper's own objects, not the server's: a
// tap outlives a server restart and reopens its monitors when a server is
// back.
//
// A running device reads each tapped playback stream (sink input) through a
// monitor stream of its own and mixes them, on one thread of its own named
// after its queue label ("zorva.tap"), in cycles of 10 ms at 48 kHz: mono in
// application mode, stereo in system mode, silence when nothing plays. Each
// monitor has a small buffer that absorbs late or bursty data.
//
// Threads: the public methods run on the main queue; they take the
// connection's loop lock but never wait for the server. Monitor streams are
// made and read on the loop thread; the I/O block is called on the device's
// own thread.
#pragma once

#include "Connection.h"
#include "platform/AudioHardware.h"

#include <map>
#include <memory>

namespace zorva::pulse {

class TapService final : public Connection::Listener {
public:
    static constexpr double kSampleRate = 48000;
    static constexpr uint32_t kCycleFrames = 480;

    explicit TapService(Connection& connection);
    ~TapService() override;

    bool isTap(AudioObjectID object);
    OSStatus tapFormat(AudioObjectID tap, AudioStreamBasicDescription& format);
    OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description);
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap);
    OSStatus destroyProcessTap(AudioObjectID tap);
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDevice);
    OSStatus destroyAggregateDevice(AudioObjectID device);
    OSStatus createIOProc(AudioObjectID device, const std::string& queueLabel,
                          AudioDeviceIOBlock block, AudioDeviceIOProcID& outProc);
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus start(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus stop(AudioObjectID device, AudioDeviceIOProcID proc);

    // Connection::Listener (loop thread)
    void connectionChanged(pa_context* context) override;
    void objectsChanged() override;

private:
    class Mixer;
    struct Tap {
        TapDescription description;
    };
    struct Device {
        AudioObjectID tap = 0;
        std::string queueLabel;
        std::map<AudioDeviceIOProcID, AudioDeviceIOBlock> procs;
        AudioDeviceIOProcID running = 0;
        std::unique_ptr<Mixer> mixer;
    };

    void reconcile(); // loop thread or under the loop lock
    // Reconciles again `after` from now (or sooner, if already due sooner).
    void reconcileSoon(pa_usec_t after);
    OSStatus stopDevice(Device& device);

    Connection& connection_;
    // Under the loop lock:
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Device> devices_;
    AudioObjectID nextObject_ = 0x7A000000; // apart from the process objects
    AudioDeviceIOProcID nextProc_ = 1;
    pa_time_event* retry_ = nullptr;
    pa_usec_t retryAt_ = 0;
};

} // namespace zorva::pulse
