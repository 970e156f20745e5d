// The audio hardware layer as the logic sees it: audio objects with 32-bit
// identifiers, properties addressed by selector, and a signed 32-bit status on
// every call (0 is success). Only this interface is visible to the listing,
// the detector and the captures; the real layer (PulseAudio) and the test
// substitute live behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zorva {

using AudioObjectID = uint32_t;
using OSStatus = int32_t;

constexpr uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Statuses the real layer returns; the logic only tests for non-zero.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCC("stop"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(fourCC("unop"));

// Properties, all read in the global scope of the main element.
enum class AudioProperty : uint32_t {
    processObjectList = fourCC("prs#"),     // system object: array of AudioObjectID
    processBundleID = fourCC("pbid"),       // process object: string
    processPID = fourCC("ppid"),            // process object: int32_t
    processIsRunningInput = fourCC("piri"), // process object: uint32_t, non-zero while input runs
    tapFormat = fourCC("tfmt"),             // tap object: AudioStreamBasicDescription
    tapDescription = fourCC("tdsc"),        // tap object: TapDescription (write only)
};

// A linear PCM stream format, 40 bytes as the hardware layer reports it.
struct AudioStreamBasicDescription {
    double sampleRate = 0;
    uint32_t formatID = 0; // 'lpcm'
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

inline constexpr uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

// What a process tap captures. Made in one of two modes, then configured.
struct TapDescription {
    // The third: everything the output devices of the processes play, theirs
    // and other apps' (what a room hears from those speakers).
    enum class Mode {
        monoMixdownOfProcesses,
        stereoGlobalTapButExcludeProcesses,
        monoMixdownOfProcessOutputs
    };
    Mode mode = Mode::monoMixdownOfProcesses;
    std::vector<AudioObjectID> processes; // tapped, or excluded in the global mode
    std::vector<std::string> bundleIDs;
    std::string name;
    bool isPrivate = false;
    int32_t muteBehavior = 0; // 0: tapped audio still reaches the speakers
    bool processRestoreEnabled = false;
    std::string uuid; // upper-case 8-4-4-4-12, fixed when the description is made
};

// The private aggregate device that reads a tap.
struct AggregateDeviceDescription {
    struct Tap {
        std::string uid; // the tap description's UUID
        bool drift = false;
    };
    std::string uid;
    std::string name;
    bool isPrivate = false;
    bool tapAutoStart = false;
    std::vector<Tap> taps;
};

// One I/O cycle's input: one plane per channel for non-interleaved formats,
// a single plane otherwise. Valid only during the I/O block.
struct AudioBuffer {
    uint32_t numberChannels = 0;
    uint32_t dataByteSize = 0;
    void* data = nullptr;
};
struct AudioBufferList {
    std::vector<AudioBuffer> buffers;
};

using AudioDeviceIOProcID = uint64_t; // 0: none
using AudioDeviceIOBlock = std::function<void(const AudioBufferList& input)>;

// Threads: the property reads and the tap/device operations may be called from
// any one thread at a time (the main queue). I/O blocks are called on a
// serial thread of the layer's own, named after `queueLabel`.
class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // Byte size of a property's value.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, AudioProperty property,
                                         uint32_t& outSize) = 0;
    // Reads a fixed-size property into `data`, offering `ioSize` bytes;
    // `ioSize` is set to the bytes written.
    virtual OSStatus getPropertyData(AudioObjectID object, AudioProperty property, uint32_t& ioSize,
                                     void* data) = 0;
    // Reads a string property (the layer's string-reference read).
    virtual OSStatus getStringProperty(AudioObjectID object, AudioProperty property,
                                       std::string& out) = 0;
    // Writes a tap's description (the only writable property).
    virtual OSStatus setTapDescription(AudioObjectID tap, const TapDescription& description) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;
    virtual OSStatus createIOProcIDWithBlock(AudioObjectID device, const std::string& queueLabel,
                                             AudioDeviceIOBlock block,
                                             AudioDeviceIOProcID& outProc) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
};

} // namespace zorva
