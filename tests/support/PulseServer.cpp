#include "PulseServer.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zorva::test {

namespace {
const char* const kDevices[] = {
    "load-module module-null-sink sink_name=speakers",
    "load-module module-null-sink sink_name=micsink norewinds=1",
    "load-module module-remap-source master=micsink.monitor source_name=virtmic",
    "set-default-sink speakers",
    "set-default-source virtmic",
};
}

PulseServer::PulseServer(ServerKind kind) : kind_(kind) {
    char pattern[] = "/tmp/zorva-audio-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0700);
    if (kind_ == ServerKind::pulseaudio) {
        std::ofstream config(dir_ + "/default.pa");
        config << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket()
               << "\n";
        for (const char* line : kDevices)
            config << line << "\n";
    } else {
        // PipeWire's daemons, under a private session bus, until killed.
        std::ofstream script(dir_ + "/run.sh");
        script << "pipewire &\n"
                  "for i in $(seq 50); do [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ] && break; "
                  "sleep 0.1; done\n"
                  "wireplumber &\n"
                  "pipewire-pulse &\n"
                  "wait\n";
    }
    start();
}

PulseServer::~PulseServer() {
    kill();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool PulseServer::available(ServerKind kind) {
    if (kind == ServerKind::pulseaudio)
        return ::access("/usr/bin/pulseaudio", X_OK) == 0;
    for (const char* tool : {"/usr/bin/pipewire", "/usr/bin/pipewire-pulse", "/usr/bin/wireplumber",
                             "/usr/bin/dbus-run-session"})
        if (::access(tool, X_OK) != 0)
            return false;
    return true;
}

std::string PulseServer::socket() const {
    return kind_ == ServerKind::pulseaudio ? dir_ + "/native" : dir_ + "/pulse/native";
}

std::string PulseServer::link() const {
    return dir_ + "/server";
}

void PulseServer::reveal() {
    ::unlink(link().c_str());
    if (::symlink(socket().c_str(), link().c_str()) != 0)
        throw std::runtime_error("symlink " + link());
}

void PulseServer::kill() {
    daemon_.reset();
}

void PulseServer::signal(int sig) {
    if (daemon_)
        ::kill(-daemon_->pid(), sig);
}

void PulseServer::start(bool hidden) {
    ::unlink(link().c_str());
    ::unlink(socket().c_str());
    if (kind_ == ServerKind::pulseaudio) {
        daemon_ = std::make_unique<ChildProcess>(
            "/usr/bin/pulseaudio",
            std::vector<std::string>{"-n", "--daemonize=no", "--realtime=no", "--exit-idle-time=-1",
                                     "--disallow-exit", "--use-pid-file=no", "-F",
                                     dir_ + "/default.pa", "--log-target=file:" + dir_ + "/log"},
            std::vector<std::string>{"PULSE_RUNTIME_PATH=" + dir_ + "/runtime", "HOME=" + dir_},
            true);
    } else {
        daemon_ = std::make_unique<ChildProcess>(
            "/usr/bin/dbus-run-session",
            std::vector<std::string>{"--", "/bin/sh", dir_ + "/run.sh"},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_,
                                     "PIPEWIRE_RUNTIME_DIR=" + dir_,
                                     "PULSE_RUNTIME_PATH=" + dir_ + "/pulse"},
            true);
    }
    for (int i = 0; i < 150; ++i) {
        if (pactl("info") == 0) {
            if (kind_ == ServerKind::pipewire)
                for (const char* line : kDevices)
                    pactl(line);
            if (!hidden) {
                if (kind_ == ServerKind::pipewire)
                    awaitSessionManager();
                reveal();
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("audio server did not come up in " + dir_);
}

// PipeWire links no stream to a device until its session manager runs: a
// test app would wait for ever. It has taken the devices when the defaults
// set above show.
void PulseServer::awaitSessionManager() const {
    for (int i = 0; i < 200; ++i) {
        const std::string info = pactlOutput("info");
        if (info.find("Default Sink: speakers\n") != std::string::npos &&
            info.find("Default Source: virtmic\n") != std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("wireplumber did not take the devices in " + dir_);
}

std::vector<std::string> PulseServer::env() const {
    return {"PULSE_SERVER=unix:" + link(), "PULSE_RUNTIME_PATH=" + dir_ + "/client",
            "HOME=" + dir_};
}

int PulseServer::pactl(const std::string& args) const {
    std::string command =
        "PULSE_SERVER=unix:" + socket() + " HOME=" + dir_ + " pactl " + args + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PulseServer::pactlOutput(const std::string& args) const {
    std::string command = "PULSE_SERVER=unix:" + socket() + " HOME=" + dir_ + " pactl " + args;
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[1024];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    return out;
}

} // namespace zorva::test
