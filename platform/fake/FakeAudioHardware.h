// Scripted audio hardware for tests: process objects that the test adds,
// changes and removes between ticks, and a status to inject on any read.
// Every method may be called from any thread.
#pragma once

#include "platform/AudioHardware.h"

#include <map>
#include <mutex>
#include <optional>

namespace zorva::fake {

class FakeAudioHardware : public AudioHardware {
public:
    struct Process {
        int32_t pid = 0;
        std::string bundleId;
        uint32_t runningInput = 0; // raw property value; non-zero means running
    };

    // ---- scripting (process objects are reported in ascending id order)
    void setProcess(AudioObjectID id, Process process);
    void setRunningInput(AudioObjectID id, uint32_t value);
    void removeProcess(AudioObjectID id);
    void clearProcesses();

    // Status injection: a non-zero status makes that read fail.
    void failListSize(OSStatus status);
    void failListData(OSStatus status);
    void failProperty(AudioObjectID id, AudioProperty property, OSStatus status);
    // Reports a size query of `bytes` regardless of the list (0 or below 4 too).
    void overrideListSize(std::optional<uint32_t> bytes);
    // After the next size query, the first `count` objects disappear before
    // the list itself is read.
    void shrinkAfterSizeQuery(std::size_t count);
    // How many times the process-object list size was asked for (one per listing).
    int listQueries() const;

    // ---- the tap side
    // A non-zero status for one step: "AudioHardwareCreateProcessTap",
    // "kAudioTapPropertyFormat", "AudioHardwareCreateAggregateDevice",
    // "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart", "tdsc".
    void failStep(const std::string& step, OSStatus status);
    void setTapFormat(const AudioStreamBasicDescription& format);
    // One I/O cycle through the registered block, from the caller's thread;
    // false when no block is registered or the device is not started.
    bool pushCycle(const AudioBufferList& input);
    // Every tap-side call in order, e.g. "createProcessTap -> 2001".
    std::vector<std::string> tapCalls() const;
    std::vector<TapDescription> createdTaps() const;
    std::vector<AggregateDeviceDescription> createdDevices() const;
    std::vector<std::pair<AudioObjectID, TapDescription>> descriptionWrites() const;

    // ---- AudioHardware
    OSStatus getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                 uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, AudioProperty property, uint32_t& ioSize,
                             void* data) override;
    OSStatus getStringProperty(AudioObjectID object, AudioProperty property,
                               std::string& out) override;
    OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID device, const std::string& queueLabel,
                                     AudioDeviceIOBlock block,
                                     AudioDeviceIOProcID& outProc) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) override;

private:
    OSStatus injected(AudioObjectID id, AudioProperty property) const; // caller holds lock_

    mutable std::mutex lock_;
    std::map<AudioObjectID, Process> processes_;
    std::map<std::pair<AudioObjectID, AudioProperty>, OSStatus> failures_;
    OSStatus listSizeStatus_ = 0;
    OSStatus listDataStatus_ = 0;
    std::optional<uint32_t> listSizeOverride_;
    std::size_t shrinkBy_ = 0;
    int listQueries_ = 0;

    OSStatus stepStatus(const std::string& step) const; // caller holds lock_
    // A new object for `step` unless it is set to fail; caller holds lock_.
    OSStatus makeObject(const std::string& step, const std::string& call, AudioObjectID& out);
    std::map<std::string, OSStatus> stepFailures_;
    AudioStreamBasicDescription tapFormat_{48000,
                                           kAudioFormatLinearPCM,
                                           kAudioFormatFlagIsFloat |
                                               kAudioFormatFlagIsNonInterleaved,
                                           4,
                                           1,
                                           4,
                                           1,
                                           32,
                                           0};
    AudioObjectID nextObject_ = 2001;
    std::vector<std::string> tapCalls_;
    std::vector<TapDescription> createdTaps_;
    std::vector<AggregateDeviceDescription> createdDevices_;
    std::vector<std::pair<AudioObjectID, TapDescription>> descriptionWrites_;
    std::map<AudioDeviceIOProcID, AudioDeviceIOBlock> procs_;
    std::map<AudioObjectID, AudioDeviceIOProcID> running_;
};

} // namespace zorva::fake
