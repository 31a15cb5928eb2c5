#include "TChildProcess.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        ThrowErrno(errno, "pipe2");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        ThrowErrno(error, "pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (error != 0) {
        ::close(outFd_);
        ::close(errFd_);
        ThrowErrno(error, "posix_spawn");
    }
}

TChildProcess::~TChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
}

void TChildProcess::Pump(std::chrono::milliseconds timeout) {
    if (!outOpen_ && !errOpen_) {
        // Both pipes are at end of file: nothing to wait for but time.
        ::poll(nullptr, 0, static_cast<int>(timeout.count()));
        return;
    }
    std::array<pollfd, 2> fds{
        {{outOpen_ ? outFd_ : -1, POLLIN, 0}, {errOpen_ ? errFd_ : -1, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) <= 0)
        return;
    std::array<char, 4096> buffer{};
    const auto drain = [&buffer](const pollfd& entry, std::string& into, bool& open) {
        if (entry.fd < 0 || entry.revents == 0)
            return;
        const ssize_t count = ::read(entry.fd, buffer.data(), buffer.size());
        if (count > 0)
            into.append(buffer.data(), static_cast<std::size_t>(count));
        else if (count == 0 || errno != EINTR)
            open = false;
    };
    drain(fds[0], out_, outOpen_);
    drain(fds[1], err_, errOpen_);
}

std::optional<std::string> TChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const Clock::time_point giveUp = Clock::now() + timeout;
    for (;;) {
        if (const std::size_t newline = out_.find('\n'); newline != std::string::npos) {
            std::string line = out_.substr(0, newline);
            out_.erase(0, newline + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
        if (left.count() <= 0 || !outOpen_)
            return std::nullopt;
        Pump(std::min(left, std::chrono::milliseconds{50}));
    }
}

void TChildProcess::Signal(int signal) {
    if (!reaped_)
        ::kill(pid_, signal);
}

std::optional<int> TChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    const Clock::time_point giveUp = Clock::now() + timeout;
    while (!reaped_) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            // Take what the child left in the pipes; bounded, since a grandchild could still
            // hold them open.
            for (int i = 0; i < 100 && (outOpen_ || errOpen_); ++i)
                Pump(std::chrono::milliseconds{10});
            break;
        }
        if (Clock::now() >= giveUp)
            return std::nullopt;
        Pump(std::chrono::milliseconds{20});
    }
    if (!WIFEXITED(status_))
        return std::nullopt;
    return WEXITSTATUS(status_);
}
