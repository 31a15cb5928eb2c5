#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

/// A child process for end-to-end tests, with its stdout and stderr captured. Every wait is
/// bounded, and the destructor kills and reaps a child that is still running, so a failing
/// test never leaves one behind.
class TChildProcess {
public:
    /// Starts `program` with `args` (without the program name). Throws std::system_error
    /// when it cannot be started.
    TChildProcess(const std::string& program, const std::vector<std::string>& args);
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    ~TChildProcess();

    /// The next line of stdout, without its newline; none when the child did not write a
    /// whole line within `timeout` or closed stdout first.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    /// Sends `signal` to the child, if it is still running.
    void Signal(int signal);

    /// Waits up to `timeout` for the child to end, collecting its output meanwhile. Returns
    /// its exit status, or none when it is still running or was killed by a signal.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);

    /// Everything read from stdout after the last ReadLine, and everything from stderr.
    const std::string& Stdout() const { return out_; }
    const std::string& Stderr() const { return err_; }

    pid_t Pid() const { return pid_; }

private:
    // Reads what is available from both pipes, waiting at most `timeout` for something.
    void Pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int outFd_ = -1;
    int errFd_ = -1;
    bool outOpen_ = true;
    bool errOpen_ = true;
    std::string out_;
    std::string err_;
};
