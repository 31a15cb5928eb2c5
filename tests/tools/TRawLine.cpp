#include "TRawLine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

void MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return; // not a terminal: nothing to set
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    ::tcsetattr(fd, TCSANOW, &settings);
}

int Remaining(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

} // namespace

TRawLine::TRawLine(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) {
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "open " + path);
    MakeRaw(fd_);
}

TRawLine::TRawLine(int fd) : fd_(fd) {
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    MakeRaw(fd_);
}

TRawLine::~TRawLine() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TRawLine::Write(std::span<const std::uint8_t> bytes) {
    std::size_t at = 0;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds{5};
    while (at < bytes.size()) {
        const ssize_t written = ::write(fd_, bytes.data() + at, bytes.size() - at);
        if (written > 0) {
            at += static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "write");
        } else {
            if (Clock::now() >= giveUp)
                throw std::system_error(ETIMEDOUT, std::generic_category(), "write");
            pollfd entry{fd_, POLLOUT, 0};
            ::poll(&entry, 1, Remaining(giveUp));
        }
    }
}

std::vector<std::uint8_t> TRawLine::Read(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> bytes;
    const Clock::time_point giveUp = Clock::now() + timeout;
    while (bytes.size() < count) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, Remaining(giveUp)) <= 0)
            break;
        std::array<std::uint8_t, 512> buffer{};
        const ssize_t got =
            ::read(fd_, buffer.data(), std::min(buffer.size(), count - bytes.size()));
        if (got > 0)
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return bytes;
}

std::vector<std::uint8_t> TRawLine::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                                   std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> bytes;
    const Clock::time_point giveUp = Clock::now() + limit;
    for (;;) {
        const int wait = std::min(Remaining(giveUp), static_cast<int>(quiet.count()));
        pollfd entry{fd_, POLLIN, 0};
        if (wait <= 0 || ::poll(&entry, 1, wait) <= 0)
            break;
        std::array<std::uint8_t, 512> buffer{};
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got > 0)
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return bytes;
}
