// The helper as our child: its stdin, stdout and stderr on pipes, read on
// the host's io_context. It runs in a process group of its own, so that a
// Ctrl-C at the terminal reaches only us and we can stop its session first.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/streambuf.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zorva::host {

// `zorva-helper` next to our own executable, else on PATH; empty if neither.
std::string findHelper();

class HelperProcess : public std::enable_shared_from_this<HelperProcess> {
public:
    // Starts `path`; throws std::system_error when it cannot.
    static std::shared_ptr<HelperProcess> start(asio::io_context& io, const std::string& path);
    ~HelperProcess();

    pid_t pid() const { return pid_; }
    // Hands each stdout line (without its newline) to `onLine`, then calls
    // `onEnd` once when stdout ends. All calls come from the io_context.
    void read(std::function<void(const std::string&)> onLine, std::function<void()> onEnd);
    // Writes one line; false once the helper's stdin is closed or broken.
    bool send(const std::string& line);
    void closeInput();
    // Stops reading (no more callbacks), waits up to `grace` for the helper
    // to end, kills it after that; how it ended ("exited with status 0").
    std::string finish(std::chrono::milliseconds grace);
    // To the helper's process group (SIGSTOP, SIGCONT).
    void signalGroup(int sig);
    // The last lines it wrote to stderr, for a note when it dies.
    std::string stderrTail() const;

private:
    HelperProcess(asio::io_context& io, pid_t pid, int in, int out, int err);
    void readOut();
    void readErr();

    pid_t pid_;
    int in_;
    asio::posix::stream_descriptor out_, err_;
    asio::streambuf outBuf_, errBuf_;
    std::function<void(const std::string&)> onLine_;
    std::function<void()> onEnd_;
    std::deque<std::string> errTail_;
    std::optional<std::string> ended_;
};

} // namespace zorva::host
