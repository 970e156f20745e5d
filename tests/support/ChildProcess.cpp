#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zorva::test {

namespace {
using Clock = std::chrono::steady_clock;
int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
} // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv, bool ownGroup)
    : ownGroup_(ownGroup) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The extra entries replace inherited ones of the same name.
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envStore(extraEnv.begin(), extraEnv.end());
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& extra : extraEnv)
            replaced |= nameOf(extra) == nameOf(entry);
        if (!replaced)
            envStore.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (ownGroup) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
    }
    int rc = posix_spawn(&pid_, path.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
    if (rc != 0)
        throw std::runtime_error("posix_spawn " + path + ": " + std::to_string(rc));
}

ChildProcess::~ChildProcess() {
    if (ownGroup_ && pid_ > 0)
        ::kill(-pid_, SIGKILL);
    if (!exitStatus_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0)
            ::close(fd);
}

bool ChildProcess::write(const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        if (in_ < 0)
            return false;
        ssize_t n = ::write(in_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

void ChildProcess::closeStdout() {
    if (out_ >= 0)
        ::close(out_);
    out_ = -1;
    outEof_ = true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto nl = outBuffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = outBuffer_.substr(0, nl);
            outBuffer_.erase(0, nl + 1);
            return line;
        }
        if (outEof_)
            return std::nullopt;
        pollfd pfd{out_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buf[65536];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            outEof_ = true;
        else
            outBuffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> ChildProcess::readLinesFor(std::chrono::milliseconds quiet) {
    std::vector<std::string> lines;
    while (auto line = readLine(quiet))
        lines.push_back(*line);
    return lines;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exitStatus_)
        return exitStatus_;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        drainStderr();
        ::usleep(10000);
    }
}

void ChildProcess::drainStderr() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(err_, buf, sizeof buf)) > 0)
        errBuffer_.append(buf, static_cast<std::size_t>(n));
}

std::string ChildProcess::stderrText() {
    drainStderr();
    return errBuffer_;
}

long ChildProcess::statusKb(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

} // namespace zorva::test
