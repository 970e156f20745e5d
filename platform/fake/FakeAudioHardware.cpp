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

// The tap side is scripted once captures use it.
OSStatus FakeAudioHardware::setTapDescription(AudioObjectID, const TapDescription&) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::createProcessTap(const TapDescription&, AudioObjectID&) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::destroyProcessTap(AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::createAggregateDevice(const AggregateDeviceDescription&,
                                                  AudioObjectID&) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::destroyAggregateDevice(AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::createIOProcIDWithBlock(AudioObjectID, const std::string&,
                                                    AudioDeviceIOBlock, AudioDeviceIOProcID&) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::deviceStart(AudioObjectID, AudioDeviceIOProcID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus FakeAudioHardware::deviceStop(AudioObjectID, AudioDeviceIOProcID) {
    return kAudioHardwareUnsupportedOperationError;
}

} // namespace zorva::fake
