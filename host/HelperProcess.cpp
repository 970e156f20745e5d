#include "HelperProcess.h"

#include <asio/read_until.hpp>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zorva::host {

namespace {

// A helper line is far shorter; past this something is wrong and we stop
// buffering rather than grow without bound.
constexpr std::size_t kMaxLine = 4 << 20;

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string describe(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("was ended by signal ") + ::strsignal(WTERMSIG(status));
    return "ended";
}

} // namespace

std::string findHelper() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir.erase(dir.rfind('/') + 1);
        if (executable(dir + "zorva-helper"))
            return dir + "zorva-helper";
    }
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    // Only absolute entries: "." or "" would run a helper from wherever the
    // user happens to be.
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (dir.starts_with('/') && executable(dir + "/zorva-helper"))
            return dir + "/zorva-helper";
    return {};
}

std::shared_ptr<HelperProcess> HelperProcess::start(asio::io_context& io, const std::string& path) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        fail("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]), ::close(in[1]);
        fail("pipe");
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        fail("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Nothing else we hold (or inherited) is the helper's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int fd : {in[0], out[1], err[1]})
        ::close(fd);
    if (rc != 0) {
        for (int fd : {in[1], out[0], err[0]})
            ::close(fd);
        errno = rc;
        fail("cannot start " + path);
    }
    return std::shared_ptr<HelperProcess>(new HelperProcess(io, pid, in[1], out[0], err[0]));
}

HelperProcess::HelperProcess(asio::io_context& io, pid_t pid, int in, int out, int err)
    : pid_(pid), in_(in), out_(io, out), err_(io, err), outBuf_(kMaxLine), errBuf_(kMaxLine) {}

HelperProcess::~HelperProcess() {
    if (!ended_)
        finish(std::chrono::milliseconds(0));
}

void HelperProcess::read(std::function<void(const std::string&)> onLine,
                         std::function<void()> onEnd) {
    onLine_ = std::move(onLine);
    onEnd_ = std::move(onEnd);
    readOut();
    readErr();
}

void HelperProcess::readOut() {
    asio::async_read_until(out_, outBuf_, '\n',
                           [self = shared_from_this()](std::error_code ec, std::size_t n) {
                               if (ec == asio::error::operation_aborted || self->ended_)
                                   return;
                               if (ec) {
                                   // End of output, or an over-long line: either way the
                                   // helper is no longer one we can talk to.
                                   if (auto onEnd = std::exchange(self->onEnd_, nullptr))
                                       onEnd();
                                   return;
                               }
                               std::string line(asio::buffers_begin(self->outBuf_.data()),
                                                asio::buffers_begin(self->outBuf_.data()) +
                                                    static_cast<std::ptrdiff_t>(n - 1));
                               self->outBuf_.consume(n);
                               if (self->onLine_)
                                   self->onLine_(line);
                               if (!self->ended_)
                                   self->readOut();
                           });
}

void HelperProcess::readErr() {
    asio::async_read_until(err_, errBuf_, '\n',
                           [self = shared_from_this()](std::error_code ec, std::size_t n) {
                               std::string line;
                               if (ec == asio::error::not_found) {
                                   // A line longer than the buffer: dropped, and reading
                                   // goes on, or the helper would block on a full pipe.
                                   self->errBuf_.consume(self->errBuf_.size());
                                   line = "(a line too long to keep)";
                               } else if (ec) {
                                   return;
                               } else {
                                   line.assign(asio::buffers_begin(self->errBuf_.data()),
                                               asio::buffers_begin(self->errBuf_.data()) +
                                                   static_cast<std::ptrdiff_t>(n - 1));
                                   self->errBuf_.consume(n);
                               }
                               self->errTail_.push_back(std::move(line));
                               if (self->errTail_.size() > 5)
                                   self->errTail_.pop_front();
                               self->readErr();
                           });
}

bool HelperProcess::send(const std::string& line) {
    if (in_ < 0)
        return false;
    const std::string bytes = line + "\n";
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeInput();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void HelperProcess::closeInput() {
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

std::string HelperProcess::finish(std::chrono::milliseconds grace) {
    if (ended_)
        return *ended_;
    onLine_ = nullptr;
    onEnd_ = nullptr;
    closeInput();
    std::error_code ignored;
    out_.close(ignored);
    err_.close(ignored);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
    }
    ended_ = done == pid_ ? describe(status) : "ended, how is not known";
    return *ended_;
}

void HelperProcess::signalGroup(int sig) {
    if (!ended_)
        ::kill(-pid_, sig);
}

std::string HelperProcess::stderrTail() const {
    std::string out;
    for (const std::string& line : errTail_)
        out += line + "\n";
    return out;
}

} // namespace zorva::host
