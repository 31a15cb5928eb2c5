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

void TPtyDevice::SetScript(TScript script) {
    std::scoped_lock lock(Mutex);
    Script = std::move(script);
}

void TPtyDevice::Write(const std::vector<std::uint8_t>& bytes) {
    WriteAll(bytes);
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

std::vector<TFrame8> TPtyDevice::Requests() const {
    std::scoped_lock lock(Mutex);
    return FRequests;
}

std::vector<std::chrono::steady_clock::time_point> TPtyDevice::RequestTimes() const {
    std::scoped_lock lock(Mutex);
    return FRequestTimes;
}

std::size_t TPtyDevice::RequestCount() const {
    std::scoped_lock lock(Mutex);
    return FRequests.size();
}

bool TPtyDevice::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(Mutex);
    return RequestArrived.wait_for(lock, timeout, [&] { return FRequests.size() >= count; });
}

void TPtyDevice::ClearRequests() {
    std::scoped_lock lock(Mutex);
    FRequests.clear();
    FRequestTimes.clear();
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
        pending.insert(pending.end(), buffer, buffer + n);
        while (pending.size() >= 8) {
            TFrame8 request;
            std::copy_n(pending.begin(), 8, request.begin());
            pending.erase(pending.begin(), pending.begin() + 8);
            TScript script;
            {
                std::scoped_lock lock(Mutex);
                FRequests.push_back(request);
                FRequestTimes.push_back(std::chrono::steady_clock::now());
                script = Script;
            }
            RequestArrived.notify_all();
            if (!script)
                continue;
            for (const TDeviceReply& reply : script(request)) {
                if (!Pause(reply.Delay))
                    return;
                WriteAll(reply.Bytes);
            }
        }
    }
}

std::vector<std::uint8_t> GoodReply(int slave, int registerCount,
                                    const std::vector<std::int32_t>& values) {
    std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(slave), 0x03,
                                    static_cast<std::uint8_t>(2 * registerCount)};
    for (int r = 0; r < registerCount; ++r) {
        const std::size_t value = static_cast<std::size_t>(r / 2);
        std::uint16_t word = 0x1234;
        if (value < values.size()) {
            const auto bits = static_cast<std::uint32_t>(values[value]);
            word = static_cast<std::uint16_t>(r % 2 == 0 ? bits >> 16 : bits & 0xFFFF);
        }
        reply.push_back(static_cast<std::uint8_t>(word >> 8));
        reply.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    AppendCrc(reply);
    return reply;
}

std::vector<std::uint8_t> WithBadCrc(std::vector<std::uint8_t> frame) {
    frame.back() ^= 0x01;
    return frame;
}

TPtyDevice::TScript AnswerAll(std::function<std::vector<std::int32_t>(int slave)> valuesOf) {
    return [valuesOf = std::move(valuesOf)](const TFrame8& request) -> std::vector<TDeviceReply> {
        if (request[1] != 0x03)
            return {};
        const int count = request[4] * 256 + request[5];
        return {{GoodReply(request[0], count, valuesOf(request[0])), {}}};
    };
}
