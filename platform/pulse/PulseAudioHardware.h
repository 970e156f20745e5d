// The audio hardware layer and the microphone over a PulseAudio server (or
// PipeWire's PulseAudio server), through libpulse.
#pragma once

#include "platform/AudioEngine.h"
#include "platform/AudioHardware.h"

#include <functional>
#include <memory>
#include <string_view>

namespace zorva {

// Starts connecting in the background and returns at once. While no server
// is reachable the process-object list is empty and taps cannot be made; the
// connection is retried until a server appears, and again whenever it goes
// away. Each change of the connection is one line through `writeDiagnostic`
// (called on the backend's own thread).
using DiagnosticFn = std::function<void(std::string_view)>;
std::unique_ptr<AudioHardware> makePulseAudioHardware(DiagnosticFn writeDiagnostic);

// The microphone over the same connection (`hardware` must come from
// makePulseAudioHardware): engines record the server's default source.
// Configuration changes are handed to `postToMainQueue`. Recording is
// granted while a server is reachable.
using PostFn = std::function<void(std::function<void()>)>;
std::unique_ptr<MicrophoneSystem> makePulseMicrophoneSystem(AudioHardware& hardware,
                                                            PostFn postToMainQueue);

} // namespace zorva
