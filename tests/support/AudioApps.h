// Apps on a private audio server, each a process of the pa_stream tool with
// one stream and the properties it is given; and the sounds they play.
#pragma once

#include "ChildProcess.h"
#include "PulseServer.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace zorva::test {

class AudioApp {
public:
    // Starts the app and waits until its stream runs. `props` are stream and
    // client properties ("application.id=org.example.conf ...").
    AudioApp(const PulseServer& server, const std::vector<std::string>& args,
             const std::string& props);
    pid_t pid() const { return process_.pid(); }
    // A player plays a 16 kHz mono sound file after what it has queued; the
    // answer is when its first sound goes out, and when its last one will.
    struct Said {
        std::chrono::steady_clock::time_point first, last;
    };
    Said say(const std::string& file);
    // The same, without waiting for it.
    void sayLater(const std::string& file);
    // A player moves its stream to `sink` and straight back, in one go.
    void bounce(const std::string& sink);

private:
    ChildProcess process_;
};

// A player on `device` (the default sink when empty), and a recorder.
std::unique_ptr<AudioApp> player(const PulseServer& server, const std::string& props,
                                 const std::string& device = "");
std::unique_ptr<AudioApp> recorder(const PulseServer& server, const std::string& props,
                                   const std::string& device = "virtmic");

// Sound files, made once per test process: a tone, or a sentence spoken by
// flite's slt voice.
std::string toneFile(double seconds = 0.6);
std::string speechFile(const std::string& text);

} // namespace zorva::test
