// A private audio server for one test, reached through the PulseAudio
// protocol: either PulseAudio itself or PipeWire with its PulseAudio server.
// It has its own runtime directory and socket, a null sink as speakers, and a
// virtual microphone (a remap of a second null sink's monitor) as the default
// source.
#pragma once

#include "ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

namespace zorva::test {

enum class ServerKind { pulseaudio, pipewire };

class PulseServer {
public:
    explicit PulseServer(ServerKind kind = ServerKind::pulseaudio); // waits until it answers
    ~PulseServer(); // kills it and removes its directory

    // Whether this machine can run such a server at all.
    static bool available(ServerKind kind);

    void kill();  // SIGKILL, as a crash would
    void start(); // a fresh server on the same socket

    // Environment that points a client at this server.
    std::vector<std::string> env() const;
    // Runs pactl against the server; its exit status.
    int pactl(const std::string& args) const;
    // Its output, for diagnostics.
    std::string pactlOutput(const std::string& args) const;

private:
    std::string socket() const;

    ServerKind kind_;
    std::string dir_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace zorva::test
