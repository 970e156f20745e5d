#include "AudioApps.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <unistd.h>

namespace zorva::test {

namespace {

std::vector<std::string> withProps(const PulseServer& server, const std::string& props) {
    auto env = server.env();
    env.push_back("PULSE_PROP=" + props);
    return env;
}

const std::string& soundDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/zorva-sounds-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp");
        return std::string(pattern);
    }();
    return dir;
}

// The file `name`, made by `command` (where %s stands for its path) unless
// it is there already.
std::string made(const std::string& name, const std::string& command) {
    const std::string path = soundDir() + "/" + name + ".wav";
    std::string line = command;
    line.replace(line.find("%s"), 2, "'" + path + "'");
    if (::access(path.c_str(), R_OK) != 0 && std::system((line + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("cannot make " + path);
    return path;
}

} // namespace

AudioApp::AudioApp(const PulseServer& server, const std::vector<std::string>& args,
                   const std::string& props)
    : process_(PA_STREAM_TOOL, args, withProps(server, props)) {
    if (process_.readLine(std::chrono::seconds(10)) != "ready")
        throw std::runtime_error("test app stream did not start: " + process_.stderrText());
}

void AudioApp::sayLater(const std::string& file) {
    process_.write("say " + file + "\n");
}

AudioApp::Said AudioApp::say(const std::string& file) {
    sayLater(file);
    auto line = process_.readLine(std::chrono::seconds(30));
    long first = 0, last = 0;
    if (!line || std::sscanf(line->c_str(), "saying %ld %ld", &first, &last) != 2)
        throw std::runtime_error("the app did not speak: " + process_.stderrText());
    const auto now = std::chrono::steady_clock::now();
    return {now + std::chrono::milliseconds(first), now + std::chrono::milliseconds(last)};
}

void AudioApp::bounce(const std::string& sink) {
    process_.write("bounce " + sink + "\n");
    if (process_.readLine(std::chrono::seconds(10)) != "bounced")
        throw std::runtime_error("the app did not move: " + process_.stderrText());
}

std::unique_ptr<AudioApp> player(const PulseServer& server, const std::string& props,
                                 const std::string& device) {
    std::vector<std::string> args{"play"};
    if (!device.empty())
        args.insert(args.end(), {"--device", device});
    return std::make_unique<AudioApp>(server, args, props);
}

std::unique_ptr<AudioApp> recorder(const PulseServer& server, const std::string& props,
                                   const std::string& device) {
    return std::make_unique<AudioApp>(
        server, std::vector<std::string>{"record", "--device", device}, props);
}

std::string toneFile(double seconds) {
    const std::string length = std::to_string(seconds);
    return made("tone" + length,
                "sox -n -r 16000 -c 1 -b 16 %s synth " + length + " sine 440 vol 0.5");
}

std::string speechFile(const std::string& text) {
    static std::map<std::string, int> numbers;
    const int n = numbers.emplace(text, static_cast<int>(numbers.size())).first->second;
    return made("speech" + std::to_string(n), "flite -voice slt -t '" + text + "' -o %s");
}

} // namespace zorva::test
