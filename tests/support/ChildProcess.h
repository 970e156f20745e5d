// Runs a program with its standard streams on pipes, for process-level tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorva::test {

class ChildProcess {
public:
    // With `ownGroup` the child leads a process group of its own, and the
    // whole group is killed with it (for programs that start others).
    explicit ChildProcess(const std::string& path, const std::vector<std::string>& args = {},
                          const std::vector<std::string>& extraEnv = {}, bool ownGroup = false);
    ~ChildProcess(); // kills the child (or its group) if it is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // False once the child's stdin is closed or broken.
    bool write(const std::string& bytes);
    void closeStdin();
    // Closes our end of the child's stdout, so its writes fail with EPIPE.
    void closeStdout();

    // The next stdout line without its newline; nothing on timeout or EOF.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything the child writes to stdout until `timeout` passes quietly.
    std::vector<std::string> readLinesFor(std::chrono::milliseconds quiet);
    // Exit status when the child ended normally within the timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // Collected stderr so far (read without blocking).
    std::string stderrText();

    // A field of /proc/<pid>/status in kB (e.g. "VmHWM"), or -1.
    long statusKb(const std::string& field) const;

private:
    void drainStderr();

    pid_t pid_ = -1;
    bool ownGroup_ = false;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outBuffer_, errBuffer_;
    bool outEof_ = false;
    std::optional<int> exitStatus_;
};

} // namespace zorva::test
