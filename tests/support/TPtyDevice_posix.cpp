#include "TPtyDevice.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {

void SetRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        throw std::runtime_error("tcgetattr on the pseudo-terminal failed");
    ::cfmakeraw(&settings);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        throw std::runtime_error("tcsetattr on the pseudo-terminal failed");
}

} // namespace

TPtyDevice::TPtyDevice() {
    char name[256] = {};
    if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    FPath = name;
    // The slave side is kept open here too, so the master never sees a hang-up
    // while the program has its port closed.
    SetRaw(Slave);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    WakeRead = wake[0];
    WakeWrite = wake[1];
    Thread = std::jthread([this](std::stop_token stopToken) { Run(stopToken); });
}

TPtyDevice::~TPtyDevice() {
    Thread.request_stop();
    const char byte = 0;
    (void)!::write(WakeWrite, &byte, 1);
    if (Thread.joinable())
        Thread.join();
    for (int fd : {Master, Slave, WakeRead, WakeWrite})
        if (fd >= 0)
            ::close(fd);
}

void TPtyDevice::WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::scoped_lock lock(WriteMutex);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(Master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

bool TPtyDevice::Pause(std::chrono::milliseconds delay) {
    if (delay.count() <= 0)
        return true;
    pollfd wake{WakeRead, POLLIN, 0};
    return ::poll(&wake, 1, static_cast<int>(delay.count())) == 0;
}

void TPtyDevice::Run(std::stop_token stopToken) {
    std::vector<std::uint8_t> pending;
    while (!stopToken.stop_requested()) {
        pollfd fds[2] = {{Master, POLLIN, 0}, {WakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if ((fds[1].revents & POLLIN) != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        std::uint8_t buffer[512];
        const ssize_t n = ::read(Master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        if (!Take(buffer, static_cast<std::size_t>(n), pending))
            return;
    }
}
