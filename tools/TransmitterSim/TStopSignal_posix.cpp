#include "TStopSignal.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> StopSignals{SIGINT, SIGTERM, SIGHUP};

// Written by the signal handler, so plain ints: the write end is set before any handler is
// installed and cleared only after all are removed.
int pipeRead = -1;
int pipeWrite = -1;
std::array<struct sigaction, StopSignals.size()> previous{};
struct sigaction previousPipe {};

extern "C" void OnStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // The pipe is non-blocking: once it holds a byte, further signals change nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeWrite, &byte, 1);
    errno = savedErrno;
}

} // namespace

TStopSignal::TStopSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    pipeRead = fds[0];
    pipeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < StopSignals.size(); ++i)
        ::sigaction(StopSignals[i], &action, &previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previousPipe);
}

TStopSignal::~TStopSignal() {
    for (std::size_t i = 0; i < StopSignals.size(); ++i)
        ::sigaction(StopSignals[i], &previous[i], nullptr);
    ::sigaction(SIGPIPE, &previousPipe, nullptr);
    ::close(pipeRead);
    ::close(pipeWrite);
    pipeRead = pipeWrite = -1;
}

int TStopSignal::Fd() const {
    return pipeRead;
}

bool TStopSignal::Raised() const {
    pollfd entry{pipeRead, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}
