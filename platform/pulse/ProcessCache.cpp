#include "ProcessCache.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace zorva::pulse {

namespace {

std::optional<int32_t> parsePid(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    int32_t value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

} // namespace

void ProcessCache::setClient(const ClientRecord& client) {
    clients_[client.index] = client;
    dirty_ = true;
}
void ProcessCache::removeClient(uint32_t index) {
    dirty_ |= clients_.erase(index) > 0;
}
void ProcessCache::setRecordingStream(const StreamRecord& stream) {
    recording_[stream.index] = stream;
    dirty_ = true;
}
void ProcessCache::removeRecordingStream(uint32_t index) {
    dirty_ |= recording_.erase(index) > 0;
}
void ProcessCache::setPlaybackStream(const StreamRecord& stream) {
    playback_[stream.index] = stream;
    dirty_ = true;
}
void ProcessCache::removePlaybackStream(uint32_t index) {
    dirty_ |= playback_.erase(index) > 0;
}
void ProcessCache::setSource(const SourceRecord& source) {
    sources_[source.index] = source;
    dirty_ = true;
}
void ProcessCache::removeSource(uint32_t index) {
    dirty_ |= sources_.erase(index) > 0;
}

void ProcessCache::setSink(const SinkRecord& sink) {
    sinks_[sink.index] = sink;
}
void ProcessCache::removeSink(uint32_t index) {
    sinks_.erase(index);
}
void ProcessCache::setDefaultSource(std::string name) {
    defaultSource_ = std::move(name);
}

void ProcessCache::clear() {
    // Only the processes of the last server that had any are remembered
    // (a failed reconnection clears an empty cache again). A server lost
    // while its first lists came had only some of them: those are added.
    if (dirty_)
        rebuild();
    if (!objectOfKey_.empty() && !listing_)
        beforeServerLoss_.clear();
    for (const auto& [key, id] : objectOfKey_)
        if (key.rfind("pid:", 0) == 0)
            beforeServerLoss_[key] = id;
    clients_.clear();
    recording_.clear();
    playback_.clear();
    sources_.clear();
    sinks_.clear();
    defaultSource_.clear();
    listing_ = false;
    dirty_ = true;
}

void ProcessCache::rebuild() {
    dirty_ = false;
    // A process is known by the pid its clients report; several clients of
    // one process are one object. A client without a pid stands alone.
    auto keyOf = [](const ClientRecord& c) {
        auto pid = parsePid(c.processId);
        return pid ? "pid:" + std::to_string(*pid) : "client:" + std::to_string(c.index);
    };
    std::map<std::string, ProcessObject> byKey;
    // The bundle identifier is the application.id of any client of the
    // process, else a binary name; the lowest client index decides ties, so
    // the answer does not depend on the order in which clients arrived.
    std::map<std::string, std::pair<bool, uint32_t>> namedBy; // key -> (by app id, client)
    auto note = [&](const StreamRecord& s) -> ProcessObject* {
        auto c = clients_.find(s.client);
        if (c == clients_.end())
            return nullptr; // module streams and clients not yet known
        const std::string key = keyOf(c->second);
        ProcessObject& object = byKey[key];
        object.pid = parsePid(c->second.processId);
        return &object;
    };
    auto name = [&](const std::string& key, ProcessObject& object, const ClientRecord& client) {
        const bool byAppId = client.applicationId.has_value();
        const auto& bundle = byAppId ? client.applicationId : client.processBinary;
        if (!bundle)
            return;
        auto known = namedBy.find(key);
        if (known == namedBy.end() || (byAppId && !known->second.first) ||
            (byAppId == known->second.first && client.index < known->second.second)) {
            object.bundleId = bundle;
            namedBy[key] = {byAppId, client.index};
        }
    };
    for (const auto& [index, s] : recording_) {
        ProcessObject* object = note(s);
        if (!object)
            continue;
        auto source = sources_.find(s.device);
        bool microphone = source != sources_.end() && !source->second.monitorOfSink;
        if (!s.corked && microphone && !s.levelMeter && object->pid != ownPid_)
            object->runningInput = true;
    }
    for (const auto& [index, s] : playback_)
        if (ProcessObject* object = note(s))
            object->playbackStreams.push_back(index);
    // Every client of a process with streams names it, streams or not.
    for (const auto& [index, client] : clients_) {
        auto object = byKey.find(keyOf(client));
        if (object != byKey.end())
            name(object->first, object->second, client);
    }

    std::map<std::string, AudioObjectID> ids;
    objects_.clear();
    for (auto& [key, object] : byKey) {
        AudioObjectID id = 0;
        if (auto it = objectOfKey_.find(key); it != objectOfKey_.end()) {
            id = it->second;
        } else if (auto old = beforeServerLoss_.find(key); old != beforeServerLoss_.end()) {
            id = old->second;
            beforeServerLoss_.erase(old);
        } else {
            id = nextObject_++;
        }
        ids[key] = id;
        objects_[id] = std::move(object);
    }
    objectOfKey_ = std::move(ids);
}

const ProcessCache::ProcessObject* ProcessCache::find(AudioObjectID object) {
    if (dirty_)
        rebuild();
    auto it = objects_.find(object);
    return it == objects_.end() ? nullptr : &it->second;
}

std::size_t ProcessCache::shownObjects() {
    if (dirty_)
        rebuild();
    return listing_ ? 0 : objects_.size();
}

std::vector<AudioObjectID> ProcessCache::processObjects() {
    std::vector<AudioObjectID> out;
    if (shownObjects() == 0)
        return out;
    for (const auto& [id, _] : objects_)
        out.push_back(id);
    return out;
}

std::optional<int32_t> ProcessCache::pid(AudioObjectID object) {
    const ProcessObject* p = find(object);
    return p ? p->pid : std::nullopt;
}

std::optional<std::string> ProcessCache::bundleId(AudioObjectID object) {
    const ProcessObject* p = find(object);
    return p ? p->bundleId : std::nullopt;
}

std::optional<bool> ProcessCache::runningInput(AudioObjectID object) {
    const ProcessObject* p = find(object);
    return p ? std::optional<bool>(p->runningInput) : std::nullopt;
}

OSStatus ProcessCache::getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                           uint32_t& outSize) {
    if (object != kAudioObjectSystemObject || property != AudioProperty::processObjectList)
        return kAudioHardwareUnknownPropertyError;
    outSize = static_cast<uint32_t>(shownObjects() * sizeof(AudioObjectID));
    return 0;
}

OSStatus ProcessCache::getPropertyData(AudioObjectID object, AudioProperty property,
                                       uint32_t& ioSize, void* data) {
    if (object == kAudioObjectSystemObject && property == AudioProperty::processObjectList) {
        std::size_t count = std::min<std::size_t>(shownObjects(), ioSize / sizeof(AudioObjectID));
        auto* out = static_cast<AudioObjectID*>(data);
        auto it = objects_.begin();
        for (std::size_t i = 0; i < count; ++i, ++it)
            out[i] = it->first;
        ioSize = static_cast<uint32_t>(count * sizeof(AudioObjectID));
        return 0;
    }
    const ProcessObject* p = find(object);
    if (!p)
        return kAudioHardwareBadObjectError;
    if (ioSize < 4)
        return kAudioHardwareBadPropertySizeError;
    if (property == AudioProperty::processPID) {
        if (!p->pid)
            return kAudioHardwareUnknownPropertyError;
        std::memcpy(data, &*p->pid, 4);
    } else if (property == AudioProperty::processIsRunningInput) {
        uint32_t value = p->runningInput ? 1 : 0;
        std::memcpy(data, &value, 4);
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    ioSize = 4;
    return 0;
}

OSStatus ProcessCache::getStringProperty(AudioObjectID object, AudioProperty property,
                                         std::string& out) {
    if (property != AudioProperty::processBundleID)
        return kAudioHardwareUnknownPropertyError;
    const ProcessObject* p = find(object);
    if (!p)
        return kAudioHardwareBadObjectError;
    if (!p->bundleId)
        return kAudioHardwareUnknownPropertyError;
    out = *p->bundleId;
    return 0;
}

std::vector<StreamRecord> ProcessCache::playbackStreams() const {
    std::vector<StreamRecord> out;
    out.reserve(playback_.size());
    for (const auto& [index, stream] : playback_)
        out.push_back(stream);
    return out;
}

std::optional<SinkRecord> ProcessCache::sink(uint32_t index) const {
    auto it = sinks_.find(index);
    return it == sinks_.end() ? std::nullopt : std::optional<SinkRecord>(it->second);
}

std::optional<SourceRecord> ProcessCache::defaultSource() const {
    for (const auto& [index, source] : sources_)
        if (!defaultSource_.empty() && source.name == defaultSource_)
            return source;
    return std::nullopt;
}

std::vector<uint32_t> ProcessCache::playbackStreamsOf(const std::vector<AudioObjectID>& objects) {
    std::vector<uint32_t> out;
    for (AudioObjectID id : objects)
        if (const ProcessObject* p = find(id))
            out.insert(out.end(), p->playbackStreams.begin(), p->playbackStreams.end());
    return out;
}

} // namespace zorva::pulse
