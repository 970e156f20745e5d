// The microphone as an audio engine: a record stream on the server's default
// source, in that source's own rate and channel count, as 32-bit float.
//
// Threads: the AudioEngine methods run on the main queue. The tap block runs
// on the connection's loop thread, with the engine's own buffer. Configuration
// changes (the default source changed, the source in use went away, the server
// was lost or came back) are posted to the main queue through `post`.
#pragma once

#include "Connection.h"
#include "platform/AudioEngine.h"

#include <functional>
#include <memory>

namespace zorva::pulse {

using PostFn = std::function<void(std::function<void()>)>;

std::unique_ptr<MicrophoneSystem> makeMicrophoneSystem(Connection& connection, PostFn post);

} // namespace zorva::pulse
