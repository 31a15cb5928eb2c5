#include "TPtyDevice.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

TPtyDevice::TPtyDevice() {
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // The component opens the terminal end by name; the test keeps no handle
    // on it, so the component's handle is the only one.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    MasterFd = master;
    SlavePath = name;
}

TPtyDevice::~TPtyDevice() {
    CloseMaster();
}

void TPtyDevice::Write(std::string_view bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(MasterFd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("pty write failed");
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("pty write timed out");
        pollfd fd{MasterFd, POLLOUT, 0};
        ::poll(&fd, 1, 10);
    }
}

std::string TPtyDevice::Read(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd fd{MasterFd, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::read(MasterFd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            ::poll(nullptr, 0, 5); // the terminal end is closed for now: wait, don't spin
    }
    return bytes;
}

void TPtyDevice::CloseMaster() {
    if (MasterFd >= 0)
        ::close(MasterFd);
    MasterFd = -1;
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
