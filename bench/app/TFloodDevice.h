#pragma once
// A device gone mad, for the flood benches: random bytes (a fixed-seed
// generator) in 4 KiB pieces, as fast as the line takes them; what is sent to
// it is read and ignored, and the moment its first byte came is kept.
#include "RawPty.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class TFloodDevice {
public:
    using Clock = std::chrono::steady_clock;

    TFloodDevice() {
        Path = OpenRawPty(Master, Slave);
        ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
        std::uint32_t x = 2463534242u;
        Noise.resize(1 << 20);
        for (char& c : Noise) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x);
        }
    }
    ~TFloodDevice() {
        Stop();
        ::close(Master);
        ::close(Slave);
    }

    void Start() {
        Thread = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
    void Stop() {
        if (Thread.joinable()) {
            Thread.request_stop();
            Thread.join();
        }
    }

    /// The moment the first byte sent to the device arrived, once it has.
    std::optional<Clock::time_point> FirstRequest() const {
        const std::int64_t at = FirstAt.load();
        if (at == 0)
            return std::nullopt;
        return Clock::time_point(Clock::duration(at));
    }

    std::string Path;
    std::atomic<std::uint64_t> Sent{0};
    std::atomic<std::uint64_t> Received{0};

private:
    void Run(std::stop_token stop) {
        std::size_t at = 0;
        char sink[4096];
        while (!stop.stop_requested()) {
            pollfd fd{Master, POLLIN | POLLOUT, 0};
            if (::poll(&fd, 1, 20) <= 0)
                continue;
            if (fd.revents & POLLIN) {
                const ssize_t n = ::read(Master, sink, sizeof sink);
                if (n > 0) {
                    if (FirstAt.load() == 0)
                        FirstAt = Clock::now().time_since_epoch().count();
                    Received += static_cast<std::uint64_t>(n);
                }
            }
            if (fd.revents & POLLOUT) {
                const std::size_t chunk = std::min<std::size_t>(4096, Noise.size() - at);
                const ssize_t n = ::write(Master, Noise.data() + at, chunk);
                if (n > 0) {
                    Sent += static_cast<std::uint64_t>(n);
                    at = (at + static_cast<std::size_t>(n)) % Noise.size();
                }
            }
        }
    }

    int Master = -1;
    int Slave = -1;
    std::vector<char> Noise;
    std::atomic<std::int64_t> FirstAt{0};
    std::jthread Thread;
};
