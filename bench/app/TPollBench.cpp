// Figures of a polling run, printed (not a test):
//  1. polls per second through the window against a device on a
//     pseudo-terminal that answers at once, fixed-length framing, Poll Interval
//     0, with the longest backlog of result events not yet handled by the
//     window thread;
//  2. the poll interval's error (request start minus the previous poll's end,
//     against Poll Interval 10): median and 99th percentile.
#include "ModbusRtu.h"
#include "TComm.h"
#include "TPollingRun.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TWindowQueue.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

/// A line of transmitters that answer every read request at once.
class TInstantDevice {
public:
    explicit TInstantDevice(int registerCount) {
        char name[256] = {};
        if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        Path = name;
        termios settings{};
        ::tcgetattr(Slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(Slave, TCSANOW, &settings);
        for (int slave = 0; slave < 256; ++slave) {
            std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(slave), 0x03,
                                            static_cast<std::uint8_t>(2 * registerCount)};
            for (int r = 0; r < registerCount; ++r) {
                reply.push_back(static_cast<std::uint8_t>(slave));
                reply.push_back(static_cast<std::uint8_t>(r));
            }
            AppendCrc(reply);
            Replies.push_back(std::move(reply));
        }
        Thread = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
    ~TInstantDevice() {
        Thread.request_stop();
        Thread.join();
        ::close(Master);
        ::close(Slave);
    }

    std::string Path;

private:
    void Run(std::stop_token stop) {
        std::vector<std::uint8_t> pending;
        std::uint8_t buffer[4096];
        while (!stop.stop_requested()) {
            pollfd fd{Master, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(Master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            pending.insert(pending.end(), buffer, buffer + n);
            std::size_t at = 0;
            for (; pending.size() - at >= 8; at += 8) {
                const auto& reply = Replies[pending[at]];
                std::size_t done = 0;
                while (done < reply.size()) {
                    const ssize_t w = ::write(Master, reply.data() + done, reply.size() - done);
                    if (w < 0 && errno != EINTR && errno != EAGAIN)
                        return;
                    if (w > 0)
                        done += static_cast<std::size_t>(w);
                }
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }

    int Master = -1;
    int Slave = -1;
    std::vector<std::vector<std::uint8_t>> Replies;
    std::jthread Thread;
};

std::string WriteConfig(const std::filesystem::path& dir, const std::string& port, int from, int to,
                        int registerCount, int interval) {
    std::filesystem::create_directories(dir);
    const auto path = dir / "Config.ini";
    std::ofstream file(path);
    file << "[Communication]\nComm Port=" << port
         << "\nBaud Rate=115200\nPoll Interval=" << interval
         << "\nPoll Timeout=500\nPoll From=" << from << "\nPoll To=" << to
         << "\nFrameBreakMode=0\nReadInterval=20\n[Modbus]\nRegister Begin=0\nRegister Count="
         << registerCount << "\n";
    return path.string();
}

/// Polls per second and the backlog of result events, through the window.
void WindowRun(const std::filesystem::path& dir, int from, int to, int registerCount, int seconds) {
    TInstantDevice device(registerCount);
    RunState.Reset();
    TfrmMain window(WriteConfig(dir, device.Path, from, to, registerCount, 0));
    window.show();
    QCoreApplication::processEvents();
    window.btnStartClick();
    if (!window.Comm().PortOpen()) {
        std::printf("the port did not open\n");
        return;
    }

    // The backlog is sampled every second: it must not grow with time.
    std::vector<std::int64_t> maxPerSecond;
    QTimer sampler;
    sampler.setInterval(1000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        maxPerSecond.push_back(window.PollHost().MaxBacklog());
        window.PollHost().ResetBacklog();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    window.PollHost().ResetBacklog();
    sampler.start();
    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    sampler.stop();
    window.btnStartClick();
    const double took = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;

    std::int64_t ok = 0;
    std::int64_t fail = 0;
    for (std::size_t p = 0; p < RunState.OkCounts.size(); ++p) {
        ok += RunState.OkCounts[p];
        fail += RunState.FailCounts[p];
    }
    std::printf("slaves %d-%d, Register Count %d, %d s: %.0f polls/s (%lld good, %lld time-outs); "
                "longest backlog of result events per second:",
                from, to, registerCount, seconds, static_cast<double>(ok + fail) / took,
                static_cast<long long>(ok), static_cast<long long>(fail));
    for (std::int64_t b : maxPerSecond)
        std::printf(" %lld", static_cast<long long>(b));
    std::printf("\n");
    std::fflush(stdout);
}

/// Records when each poll ended and when the next request started.
class TTimingHost final : public TPollHost {
public:
    TTimingHost(TComm& comm, TWindowQueue& queue) : Inner(comm, queue, {}) {}

    void SendRequest(const TFrame8& request) override {
        const auto now = Clock::now();
        {
            std::scoped_lock lock(Mutex);
            if (LastEnd)
                Gaps.push_back(now - *LastEnd);
        }
        Inner.SendRequest(request);
    }
    void PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) override {
        Inner.PostPollResult(runId, slave, result);
        std::scoped_lock lock(Mutex);
        LastEnd = Clock::now();
    }
    void SendCaptionChanged() override {}
    void DiscardInput() override { Inner.DiscardInput(); }
    void LineHeld() override {}

    std::vector<Clock::duration> TakeGaps() {
        std::scoped_lock lock(Mutex);
        return Gaps;
    }

private:
    TQueuePollHost Inner;
    std::mutex Mutex;
    std::optional<Clock::time_point> LastEnd;
    std::vector<Clock::duration> Gaps;
};

/// The poll interval's error at Poll Interval 10, through the run logic.
void IntervalRun(const std::filesystem::path& dir, int seconds) {
    TInstantDevice device(2);
    RunState.Reset();
    LoadParams(WriteConfig(dir, device.Path, 1, 10, 2, 10));
    TManualWindowQueue queue;
    TComm comm(queue);
    TPollingRun run;
    comm.OnReceiveData = [&](TComm&, const char* buffer, std::uint16_t length) {
        run.ReceiveData(TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length),
                        std::chrono::system_clock::now());
    };
    ApplyCommSettings(comm);
    comm.OpenPort();
    TTimingHost host(comm, queue);
    run.Start(host, std::chrono::steady_clock::now());
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end)
        queue.WaitAndRun(20ms);
    run.Stop();
    comm.ClosePort();
    queue.RunPending();

    auto gaps = host.TakeGaps();
    std::vector<double> errors;
    for (const auto gap : gaps)
        errors.push_back(std::chrono::duration<double, std::micro>(gap - 10ms).count());
    std::sort(errors.begin(), errors.end());
    if (errors.empty()) {
        std::printf("no intervals measured\n");
        return;
    }
    const auto at = [&](double q) {
        return errors[std::min(errors.size() - 1, static_cast<std::size_t>(q * errors.size()))];
    };
    std::printf("Poll Interval 10, %zu intervals: error median %.1f us, p99 %.1f us, max %.1f us\n",
                errors.size(), at(0.5), at(0.99), errors.back());
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    int seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));

    const auto dir = std::filesystem::temp_directory_path() /
                     ("quellmark-poll-bench-" + std::to_string(::getpid()));
    WindowRun(dir / "small", 1, 10, 2, seconds);
    WindowRun(dir / "large", 1, 254, 16, seconds);
    IntervalRun(dir / "interval", seconds);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
