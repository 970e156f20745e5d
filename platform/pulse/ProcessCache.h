// The audio server's clients, streams and devices, and the process objects
// made of them. Pure data: the PulseAudio backend feeds it from server
// events, tests and benchmarks feed it directly. Not thread-safe; the owner
// locks around every call.
#pragma once

#include "platform/AudioHardware.h"

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zorva::pulse {

inline constexpr uint32_t kInvalidIndex = UINT32_MAX;

struct ClientRecord {
    uint32_t index = kInvalidIndex;
    std::optional<std::string> applicationId; // application.id
    std::optional<std::string> processBinary; // application.process.binary
    std::optional<std::string> processId;     // application.process.id, as the client says
};

// A recording stream (source output) or a playback stream (sink input).
struct StreamRecord {
    uint32_t index = kInvalidIndex;
    uint32_t client = kInvalidIndex; // kInvalidIndex: owned by a module, not a process
    uint32_t device = kInvalidIndex; // the source (recording) or sink (playback)
    bool corked = false;
    bool levelMeter = false; // a peak meter, not a real recording (stream.monitor=true)
    uint32_t channels = 0;
};

struct SourceRecord {
    uint32_t index = kInvalidIndex;
    bool monitorOfSink = false;
    std::string name;
    uint32_t rate = 0;
    uint32_t channels = 0;
    std::string channelMap; // as the server prints it ("front-left,front-right")
};

struct SinkRecord {
    uint32_t index = kInvalidIndex;
    std::string monitorSource; // the name of its monitor source
    uint32_t channels = 0;
};

class ProcessCache {
public:
    // Streams of processes with this pid are the helper's own: they never
    // count as running input.
    explicit ProcessCache(int32_t ownPid) : ownPid_(ownPid) {}

    void setClient(const ClientRecord& client);
    void removeClient(uint32_t index);
    void setRecordingStream(const StreamRecord& stream);
    void removeRecordingStream(uint32_t index);
    void setPlaybackStream(const StreamRecord& stream);
    void removePlaybackStream(uint32_t index);
    void setSource(const SourceRecord& source);
    void removeSource(uint32_t index);
    void setSink(const SinkRecord& sink);
    void removeSink(uint32_t index);
    void setDefaultSource(std::string name);
    // The server went away. Process objects keep their identifiers for when
    // the same processes come back on the next server.
    void clear();
    // While the server's first lists are still coming, no process is shown:
    // half a list (its recordings but not yet its playbacks) would report a
    // call with only some of its processes.
    void setListing(bool listing) { listing_ = listing; }
    bool listing() const { return listing_; }

    // Process objects, ascending. An object's identifier is stable while its
    // process has streams; a process that comes back gets a new one.
    std::vector<AudioObjectID> processObjects();
    // Each read fails (nullopt) for an unknown object or a missing property.
    std::optional<int32_t> pid(AudioObjectID object);
    std::optional<std::string> bundleId(AudioObjectID object);
    std::optional<bool> runningInput(AudioObjectID object);

    // The hardware layer's property reads, answered from the cache.
    OSStatus getPropertyDataSize(AudioObjectID object, AudioProperty property, uint32_t& outSize);
    OSStatus getPropertyData(AudioObjectID object, AudioProperty property, uint32_t& ioSize,
                             void* data);
    OSStatus getStringProperty(AudioObjectID object, AudioProperty property, std::string& out);

    // The playback streams of the given process objects (for taps).
    std::vector<uint32_t> playbackStreamsOf(const std::vector<AudioObjectID>& objects);
    // Every playback stream, ascending.
    std::vector<StreamRecord> playbackStreams() const;
    std::optional<SinkRecord> sink(uint32_t index) const;
    // The server's default source, once the server and the source are known.
    std::optional<SourceRecord> defaultSource() const;

private:
    struct ProcessObject {
        std::optional<int32_t> pid;
        std::optional<std::string> bundleId;
        bool runningInput = false;
        std::vector<uint32_t> playbackStreams;
    };

    void rebuild();
    // How many objects the lists show: none while listing.
    std::size_t shownObjects();
    const ProcessObject* find(AudioObjectID object);

    int32_t ownPid_;
    std::map<uint32_t, ClientRecord> clients_;
    std::map<uint32_t, StreamRecord> recording_;
    std::map<uint32_t, StreamRecord> playback_;
    std::map<uint32_t, SourceRecord> sources_;
    std::map<uint32_t, SinkRecord> sinks_;
    std::string defaultSource_;

    bool dirty_ = false;
    bool listing_ = false;
    AudioObjectID nextObject_ = 100; // below: system object and well-known ids
    std::map<std::string, AudioObjectID> objectOfKey_;
    std::map<std::string, AudioObjectID> beforeServerLoss_; // pid keys only
    std::map<AudioObjectID, ProcessObject> objects_;
};

} // namespace zorva::pulse
