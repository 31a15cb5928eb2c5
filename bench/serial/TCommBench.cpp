// Delivery latency and round trips of the serial link on a pseudo-terminal
// pair. A device thread answers each 8-byte request with a 9-byte reply in one
// write; the main thread is the window thread and pumps the component's queue.
//
// Latency: from the device's write of the reply (stamped just before the
// write call) to OnReceiveData
// running on the window thread. Round trips: SendBytes to reply delivered.
//
// Usage: serial_bench [replies]   (default 10000 per mode)

#include "ModbusRtu.h"
#include "TComm.h"
#include "TCommDevice.h"
#include "TNoticeQueue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch())
        .count();
}

/// The device end: answers every complete 8-byte request at once.
class TAnsweringDevice {
public:
    TAnsweringDevice(int master, std::vector<std::uint8_t> reply, std::size_t slots)
        : Master(master), Reply(std::move(reply)), WrittenAt(slots),
          Thread([this](std::stop_token stop) { Run(stop); }) {}

    /// When the device wrote reply `index`, in steady-clock ns.
    std::int64_t WrittenNs(std::size_t index) const {
        return WrittenAt[index].load(std::memory_order_acquire);
    }

private:
    void Run(std::stop_token stop) {
        std::size_t pending = 0;
        char buffer[256];
        while (!stop.stop_requested()) {
            pollfd fd{Master, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(Master, buffer, sizeof buffer);
            if (n <= 0) {
                ::poll(nullptr, 0, 5); // terminal end closed between modes
                continue;
            }
            pending += static_cast<std::size_t>(n);
            while (pending >= 8) {
                pending -= 8;
                // Stamped just before the write: the figure errs on the slow side.
                const std::size_t index = Answered++;
                if (index < WrittenAt.size())
                    WrittenAt[index].store(NowNs(), std::memory_order_release);
                (void)!::write(Master, Reply.data(), Reply.size());
            }
        }
    }

    int Master;
    std::vector<std::uint8_t> Reply;
    std::vector<std::atomic<std::int64_t>> WrittenAt;
    std::size_t Answered = 0;
    std::jthread Thread;
};

struct TResult {
    std::vector<double> LatencyMs;
    std::size_t Split = 0; // blocks that were not exactly one reply
    std::size_t Lost = 0;  // requests with no reply within a second
    double Seconds = 0;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

TResult RunMode(const std::string& path, int master, std::size_t replies, bool fixedInterval) {
    const TFrame8 request = BuildReadRequest(1, 0, 2);
    std::vector<std::uint8_t> reply{0x01, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02};
    AppendCrc(reply);
    TAnsweringDevice device(master, reply, replies);

    TManualNoticeQueue queue;
    TComm comm(queue);
    comm.SetCommName(path);
    comm.SetBaudRate(115200);
    if (fixedInterval) {
        comm.SetReadIntervalTimeout(20);
        comm.SetInputLen(0);
    } else {
        comm.SetReadIntervalTimeout(0);
        comm.SetInputLen(9);
    }
    TResult result;
    std::size_t delivered = 0;
    std::int64_t deliveredNs = 0;
    comm.OnReceiveData = [&](TComm&, const char*, std::uint16_t length) {
        deliveredNs = NowNs();
        ++delivered;
        if (length != reply.size())
            ++result.Split;
    };
    comm.OpenPort();
    if (!comm.PortOpen()) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), comm.PortOpenError().c_str());
        std::exit(1);
    }
    queue.WaitAndRun(std::chrono::milliseconds(100)); // the writer's first notice

    result.LatencyMs.reserve(replies);
    const auto start = TClock::now();
    for (std::size_t i = 0; i < replies; ++i) {
        const std::size_t before = delivered;
        comm.SendBytes(request.data(), static_cast<std::uint16_t>(request.size()));
        if (!queue.RunUntil([&] { return delivered > before; }, std::chrono::seconds(1))) {
            ++result.Lost;
            continue;
        }
        const std::int64_t written = device.WrittenNs(i);
        if (written != 0)
            result.LatencyMs.push_back(static_cast<double>(deliveredNs - written) / 1e6);
    }
    result.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
    comm.ClosePort();
    queue.RunPending();
    return result;
}

/// The floor under the fixed-interval figure: how late a bare 20 ms timed
/// wait wakes on this machine, on a thread tuned like the reader.
std::vector<double> TimerOvershootMs(std::size_t samples) {
    std::vector<double> overshoot;
    std::jthread sleeper([&] {
        TCommDevice::TuneThread(TCommDevice::TThreadRole::Reader);
        for (std::size_t i = 0; i < samples; ++i) {
            const auto start = TClock::now();
            const timespec wait{0, 20'000'000};
            ::ppoll(nullptr, 0, &wait, nullptr);
            overshoot.push_back(
                std::chrono::duration<double, std::milli>(TClock::now() - start).count() - 20.0);
        }
    });
    sleeper.join();
    return overshoot;
}

void Print(const char* mode, const TResult& r, std::size_t replies) {
    std::printf(
        "%-26s replies %zu  median %.3f ms  p99 %.3f ms  max %.3f ms  split %zu  lost %zu\n", mode,
        replies, Percentile(r.LatencyMs, 0.5), Percentile(r.LatencyMs, 0.99),
        r.LatencyMs.empty() ? 0.0 : *std::max_element(r.LatencyMs.begin(), r.LatencyMs.end()),
        r.Split, r.Lost);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t replies = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    if (replies == 0) {
        std::fprintf(stderr, "usage: %s [replies]\n", argv[0]);
        return 2;
    }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    ::close(slave); // the component opens the terminal end by name
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::printf("serial link on a pseudo-terminal pair (%s), %u cores\n", name,
                std::thread::hardware_concurrency());

    const TResult fixedLength = RunMode(name, master, replies, false);
    Print("fixed length (9 bytes)", fixedLength, replies);
    std::printf("%-26s %.0f round trips/s (SendBytes to reply delivered)\n", "fixed length",
                static_cast<double>(replies - fixedLength.Lost) / fixedLength.Seconds);

    const TResult fixedInterval = RunMode(name, master, replies, true);
    Print("fixed interval (20 ms)", fixedInterval, replies);
    std::printf("%-26s %.1f round trips/s\n", "fixed interval",
                static_cast<double>(replies - fixedInterval.Lost) / fixedInterval.Seconds);
    ::close(master);

    const std::vector<double> overshoot = TimerOvershootMs(std::min<std::size_t>(replies, 2000));
    std::printf("%-26s samples %zu  median %.3f ms  p99 %.3f ms (how late a bare 20 ms wait "
                "wakes here)\n",
                "timer floor", overshoot.size(), Percentile(overshoot, 0.5),
                Percentile(overshoot, 0.99));
    return fixedLength.Split + fixedLength.Lost + fixedInterval.Split + fixedInterval.Lost == 0 ? 0
                                                                                                : 3;
}
