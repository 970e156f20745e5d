#include "FakeAudioHardware.h"

#include <cstring>

namespace zorva::fake {

void FakeAudioHardware::setProcess(AudioObjectID id, Process process) {
    std::lock_guard g(lock_);
    processes_[id] = std::move(process);
}

void FakeAudioHardware::setRunningInput(AudioObjectID id, uint32_t value) {
    std::lock_guard g(lock_);
    processes_.at(id).runningInput = value;
}

void FakeAudioHardware::removeProcess(AudioObjectID id) {
    std::lock_guard g(lock_);
    processes_.erase(id);
}

void FakeAudioHardware::clearProcesses() {
    std::lock_guard g(lock_);
    processes_.clear();
}

void FakeAudioHardware::failListSize(OSStatus status) {
    std::lock_guard g(lock_);
    listSizeStatus_ = status;
}

void FakeAudioHardware::failListData(OSStatus status) {
    std::lock_guard g(lock_);
    listDataStatus_ = status;
}

void FakeAudioHardware::failProperty(AudioObjectID id, AudioProperty property, OSStatus status) {
    std::lock_guard g(lock_);
    failures_[{id, property}] = status;
}

void FakeAudioHardware::overrideListSize(std::optional<uint32_t> bytes) {
    std::lock_guard g(lock_);
    listSizeOverride_ = bytes;
}

void FakeAudioHardware::shrinkAfterSizeQuery(std::size_t count) {
    std::lock_guard g(lock_);
    shrinkBy_ = count;
}

int FakeAudioHardware::listQueries() const {
    std::lock_guard g(lock_);
    return listQueries_;
}

OSStatus FakeAudioHardware::injected(AudioObjectID id, AudioProperty property) const {
    auto it = failures_.find({id, property});
    return it == failures_.end() ? 0 : it->second;
}

OSStatus FakeAudioHardware::getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                                uint32_t& outSize) {
    std::lock_guard g(lock_);
    if (object != kAudioObjectSystemObject || property != AudioProperty::processObjectList)
        return kAudioHardwareUnknownPropertyError;
    ++listQueries_;
    if (listSizeStatus_)
        return listSizeStatus_;
    outSize = listSizeOverride_.value_or(static_cast<uint32_t>(processes_.size() * 4));
    for (; shrinkBy_ > 0 && !processes_.empty(); --shrinkBy_)
        processes_.erase(processes_.begin());
    return 0;
}

OSStatus FakeAudioHardware::getPropertyData(AudioObjectID object, AudioProperty property,
                                            uint32_t& ioSize, void* data) {
    std::lock_guard g(lock_);
    if (object == kAudioObjectSystemObject && property == AudioProperty::processObjectList) {
        if (listDataStatus_)
            return listDataStatus_;
        uint32_t written = 0;
        auto* out = static_cast<AudioObjectID*>(data);
        for (const auto& [id, _] : processes_) {
            if (written + 4 > ioSize)
                break;
            out[written / 4] = id;
            written += 4;
        }
        ioSize = written;
        return 0;
    }
    if (property == AudioProperty::tapFormat) {
        if (OSStatus s = stepStatus("kAudioTapPropertyFormat"))
            return s;
        if (ioSize < sizeof tapFormat_)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(data, &tapFormat_, sizeof tapFormat_);
        ioSize = sizeof tapFormat_;
        return 0;
    }
    auto it = processes_.find(object);
    if (it == processes_.end())
        return kAudioHardwareBadObjectError;
    if (OSStatus s = injected(object, property))
        return s;
    if (ioSize < 4)
        return kAudioHardwareBadPropertySizeError;
    if (property == AudioProperty::processPID) {
        std::memcpy(data, &it->second.pid, 4);
    } else if (property == AudioProperty::processIsRunningInput) {
        std::memcpy(data, &it->second.runningInput, 4);
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    ioSize = 4;
    return 0;
}

OSStatus FakeAudioHardware::getStringProperty(AudioObjectID object, AudioProperty property,
                                              std::string& out) {
    std::lock_guard g(lock_);
    auto it = processes_.find(object);
    if (it == processes_.end())
        return kAudioHardwareBadObjectError;
    if (OSStatus s = injected(object, property))
        return s;
    if (property != AudioProperty::processBundleID)
        return kAudioHardwareUnknownPropertyError;
    out = it->second.bundleId;
    return 0;
}

OSStatus FakeAudioHardware::stepStatus(const std::string& step) const {
    auto it = stepFailures_.find(step);
    return it == stepFailures_.end() ? 0 : it->second;
}

OSStatus FakeAudioHardware::makeObject(const std::string& step, const std::string& call,
                                       AudioObjectID& out) {
    if (OSStatus s = stepStatus(step)) {
        tapCalls_.push_back(call + " failed");
        return s;
    }
    out = nextObject_++;
    tapCalls_.push_back(call + " -> " + std::to_string(out));
    return 0;
}

void FakeAudioHardware::failStep(const std::string& step, OSStatus status) {
    std::lock_guard g(lock_);
    stepFailures_[step] = status;
}

void FakeAudioHardware::setTapFormat(const AudioStreamBasicDescription& format) {
    std::lock_guard g(lock_);
    tapFormat_ = format;
}

bool FakeAudioHardware::pushCycle(const AudioBufferList& input) {
    AudioDeviceIOBlock block;
    {
        std::lock_guard g(lock_);
        if (running_.empty())
            return false;
        auto it = procs_.find(running_.begin()->second);
        if (it == procs_.end())
            return false;
        block = it->second;
    }
    block(input);
    return true;
}

std::vector<std::string> FakeAudioHardware::tapCalls() const {
    std::lock_guard g(lock_);
    return tapCalls_;
}
std::vector<TapDescription> FakeAudioHardware::createdTaps() const {
    std::lock_guard g(lock_);
    return createdTaps_;
}
std::vector<AggregateDeviceDescription> FakeAudioHardware::createdDevices() const {
    std::lock_guard g(lock_);
    return createdDevices_;
}
std::vector<std::pair<AudioObjectID, TapDescription>> FakeAudioHardware::descriptionWrites() const {
    std::lock_guard g(lock_);
    return descriptionWrites_;
}

OSStatus FakeAudioHardware::setTapDescription(AudioObjectID tap, const TapDescription& d) {
    std::lock_guard g(lock_);
    tapCalls_.push_back("setTapDescription " + std::to_string(tap));
    descriptionWrites_.emplace_back(tap, d);
    return stepStatus("tdsc");
}

OSStatus FakeAudioHardware::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    std::lock_guard g(lock_);
    createdTaps_.push_back(d);
    return makeObject("AudioHardwareCreateProcessTap", "createProcessTap", out);
}

OSStatus FakeAudioHardware::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard g(lock_);
    tapCalls_.push_back("destroyProcessTap " + std::to_string(tap));
    return 0;
}

OSStatus FakeAudioHardware::createAggregateDevice(const AggregateDeviceDescription& d,
                                                  AudioObjectID& out) {
    std::lock_guard g(lock_);
    createdDevices_.push_back(d);
    return makeObject("AudioHardwareCreateAggregateDevice", "createAggregateDevice", out);
}

OSStatus FakeAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard g(lock_);
    tapCalls_.push_back("destroyAggregateDevice " + std::to_string(device));
    return 0;
}

OSStatus FakeAudioHardware::createIOProcIDWithBlock(AudioObjectID device,
                                                    const std::string& queueLabel,
                                                    AudioDeviceIOBlock block,
                                                    AudioDeviceIOProcID& out) {
    std::lock_guard g(lock_);
    if (OSStatus s = stepStatus("AudioDeviceCreateIOProcIDWithBlock")) {
        tapCalls_.push_back("createIOProc failed");
        return s;
    }
    out = nextObject_++;
    procs_[out] = std::move(block);
    tapCalls_.push_back("createIOProc " + std::to_string(device) + " " + queueLabel + " -> " +
                        std::to_string(out));
    return 0;
}

OSStatus FakeAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::lock_guard g(lock_);
    procs_.erase(proc);
    tapCalls_.push_back("destroyIOProc " + std::to_string(device) + " " + std::to_string(proc));
    return 0;
}

OSStatus FakeAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::lock_guard g(lock_);
    if (OSStatus s = stepStatus("AudioDeviceStart")) {
        tapCalls_.push_back("deviceStart failed");
        return s;
    }
    running_[device] = proc;
    tapCalls_.push_back("deviceStart " + std::to_string(device));
    return 0;
}

OSStatus FakeAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID) {
    std::lock_guard g(lock_);
    running_.erase(device);
    tapCalls_.push_back("deviceStop " + std::to_string(device));
    return 0;
}

} // namespace zorva::fake
