#include "CoreAudioProcesses.h"

namespace zorva {

std::vector<AudioObjectID> processObjectIDs(AudioHardware& hardware) {
    uint32_t size = 0;
    if (hardware.getPropertyDataSize(kAudioObjectSystemObject, AudioProperty::processObjectList,
                                     size) != 0 ||
        size == 0)
        return {};
    const std::size_t count = size / 4;
    if (count == 0)
        return {};
    // Slots the read leaves unfilled (the list shrank meanwhile) stay 0 and
    // are dropped later because their properties cannot be read.
    std::vector<AudioObjectID> ids(count, 0);
    uint32_t ioSize = static_cast<uint32_t>(count * 4);
    if (hardware.getPropertyData(kAudioObjectSystemObject, AudioProperty::processObjectList, ioSize,
                                 ids.data()) != 0)
        return {};
    return ids;
}

std::vector<AudioProcess> CoreAudioLister::list() {
    std::vector<AudioProcess> out;
    for (AudioObjectID id : processObjectIDs(hardware_)) {
        std::string bundleId;
        OSStatus bundleStatus =
            hardware_.getStringProperty(id, AudioProperty::processBundleID, bundleId);
        int32_t pid = 0;
        uint32_t size = sizeof pid;
        if (hardware_.getPropertyData(id, AudioProperty::processPID, size, &pid) != 0)
            continue;
        uint32_t running = 0;
        size = sizeof running;
        if (hardware_.getPropertyData(id, AudioProperty::processIsRunningInput, size, &running) !=
            0)
            continue;
        out.push_back(
            {id, pid, bundleStatus == 0 ? std::move(bundleId) : std::string(), running != 0});
    }
    return out;
}

} // namespace zorva
