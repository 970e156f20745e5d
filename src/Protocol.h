// The JSON-lines wire protocol between the host application and the helper.
//
// Both operations are pure and may run on any thread at once. The helper only
// ever reads AppMessage and only ever writes HelperMessage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zorva {

// ---- shared ----

enum class StreamName { mic, others };

struct SessionRef {
    std::string sessionId;
    bool operator==(const SessionRef&) const = default;
};

// ---- host to helper ----

struct AppEntry {
    std::string name;
    std::vector<std::string> bundlePrefixes;
    bool operator==(const AppEntry&) const = default;
};

struct Configure {
    std::vector<AppEntry> apps;
    std::vector<std::string> ignoreBundlePrefixes;
    std::vector<int32_t> ignorePids;
    std::string locale;
    int64_t micHoldMs = 0;
    int64_t endGraceMs = 0;
    bool fastResults = false;
    // Optional: sessions started after it cancel the far side's echo in the
    // microphone. Absent means false.
    bool echoCancellation = false;
    bool operator==(const Configure&) const = default;
};

struct Start {
    enum class Audio { app, system };
    std::string sessionId;
    std::string bundleId;
    std::vector<int32_t> pids;
    Audio audio = Audio::app;
    bool operator==(const Start&) const = default;
};

struct Stop {
    SessionRef ref;
    bool operator==(const Stop&) const = default;
};
struct PrepareModel {
    bool operator==(const PrepareModel&) const = default;
};
struct Ping {
    bool operator==(const Ping&) const = default;
};
struct Shutdown {
    bool operator==(const Shutdown&) const = default;
};
struct Unknown {
    std::string type; // exactly as received
    bool operator==(const Unknown&) const = default;
};

using AppMessage = std::variant<Configure, Start, Stop, PrepareModel, Ping, Shutdown, Unknown>;

// ---- helper to host ----

struct Hello {
    int64_t protocol = 1;
    std::string helperVersion;
    std::string macos;
    int32_t pid = 0;
    bool operator==(const Hello&) const = default;
};

struct Model {
    enum class Status { installed, downloading, supported, unsupported };
    std::string locale;
    Status status = Status::unsupported;
    double progress = 0;
    bool operator==(const Model&) const = default;
};

struct Call {
    enum class State { started, ended };
    enum class Reason { micReleased, appQuit };
    State state = State::started;
    std::string app;
    std::string bundleId;
    std::vector<int32_t> pids;
    std::optional<int64_t> sinceMicStartMs;
    std::optional<Reason> reason;
    int64_t t = 0;
    bool operator==(const Call&) const = default;
};

struct MicInfo {
    std::string device;
    double sampleRate = 0;
    bool voiceProcessing = false;
    bool operator==(const MicInfo&) const = default;
};

struct OthersInfo {
    std::string tapUID;
    double sampleRate = 0;
    std::vector<int32_t> processes;
    bool operator==(const OthersInfo&) const = default;
};

struct Capture {
    enum class State { started, stopped };
    std::string sessionId;
    State state = State::started;
    std::optional<MicInfo> mic;
    std::optional<OthersInfo> others;
    bool operator==(const Capture&) const = default;
};

struct FinalText {
    std::string sessionId;
    StreamName stream = StreamName::mic;
    std::string text;
    int64_t startMs = 0;
    int64_t endMs = 0;
    int64_t finalizedAtMs = 0;
    bool operator==(const FinalText&) const = default;
};

struct PartialText {
    std::string sessionId;
    StreamName stream = StreamName::mic;
    std::string text;
    int64_t startMs = 0;
    bool operator==(const PartialText&) const = default;
};

struct Permission {
    enum class Kind { microphone, systemAudio };
    enum class Status { granted, denied, notDetermined };
    Kind kind = Kind::microphone;
    Status status = Status::notDetermined;
    bool operator==(const Permission&) const = default;
};

struct HelperError {
    enum class Code {
        tapFailed,
        engineFailed,
        modelUnsupported,
        transcriberFailed,
        permissionDenied,
        protocol
    };
    Code code = Code::protocol;
    std::string message;
    bool fatal = false;
    std::optional<std::string> sessionId;
    bool operator==(const HelperError&) const = default;
};

struct Pong {
    int64_t t = 0;
    bool operator==(const Pong&) const = default;
};

struct Stopped {
    SessionRef ref;
    bool operator==(const Stopped&) const = default;
};

using HelperMessage = std::variant<Hello, Model, Call, Capture, FinalText, PartialText, Permission,
                                   HelperError, Pong, Stopped>;

// Longest accepted host line, in UTF-8 bytes, without its terminator.
inline constexpr std::size_t kMaxLineBytes = 65536;

// The complete line for one message, newline included; empty when the message
// cannot be written (a floating-point field that is not finite).
std::string encodeLine(const HelperMessage& message);

// One host line without its terminator; nothing when the line is rejected.
std::optional<AppMessage> decodeAppLine(std::string_view line);

// Wire spellings, shared with diagnostics and tests.
std::string_view toString(StreamName value);
std::string_view toString(Model::Status value);

} // namespace zorva
