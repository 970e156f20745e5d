// A private audio server for one test, reached through the PulseAudio
// protocol: either PulseAudio itself or PipeWire with its PulseAudio server.
// It has its own runtime directory and socket, a null sink as speakers, and a
// virtual microphone (a remap of a second null sink's monitor) as the default
// source.
#pragma once

#include "ChildProcess.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// A machine without a program these tests need skips them, except where
// ZORVA_REQUIRE_SERVERS is set (CI sets it): there a skip would pass a run in
// which no real audio test ran, so it is a failure.
#define ZORVA_SKIP_WITHOUT(what)                                                                   \
    do {                                                                                           \
        if (std::getenv("ZORVA_REQUIRE_SERVERS"))                                                  \
            FAIL() << (what) << " is required (ZORVA_REQUIRE_SERVERS is set)";                     \
        GTEST_SKIP() << (what) << " not installed";                                                \
    } while (0)

namespace zorva::test {

enum class ServerKind { pulseaudio, pipewire };

// For parameterised test names.
inline const char* kindName(ServerKind kind) {
    return kind == ServerKind::pulseaudio ? "PulseAudio" : "PipeWire";
}

class PulseServer {
public:
    explicit PulseServer(ServerKind kind = ServerKind::pulseaudio); // waits until it answers
    ~PulseServer(); // kills it and removes its directory

    // Whether this machine can run such a server at all.
    static bool available(ServerKind kind);

    void kill(); // SIGKILL, as a crash would
    // A fresh server on the same socket. Clients see it at once, or with
    // `hidden` only after reveal(): so a test can start a server, stop it,
    // and then let clients connect to it.
    void start(bool hidden = false);
    void reveal();
    // SIGSTOP or SIGCONT to all of its processes: a stopped server still
    // accepts connections into its backlog but answers nothing.
    void signal(int sig);

    // Environment that points a client at this server (through a link to
    // its socket, which start and reveal make).
    std::vector<std::string> env() const;
    // Runs pactl against the server; its exit status.
    int pactl(const std::string& args) const;
    // Its output, for diagnostics.
    std::string pactlOutput(const std::string& args) const;

private:
    void awaitSessionManager() const;
    std::string socket() const; // where the server listens
    std::string link() const;   // where clients connect

    ServerKind kind_;
    std::string dir_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace zorva::test
