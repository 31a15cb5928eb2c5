// Figures of a polling run, printed (not a test):
//  1. polls per second through the window against a device on a
//     pseudo-terminal that answers at once, fixed-length framing, Poll Interval
//     0, with the longest backlog of result events not yet handled by the
//     window thread;
//  2. the poll interval's error (the next poll's start minus the previous poll's end,
//     against Poll Interval 10): median and 99th percentile;
//  3. CPU: the process's CPU time over the wall time of each run, and the
//     window thread's alone, in per cent of one core;
//  4. with --libmodbus, a plain libmodbus polling loop on the same line for
//     the same time right after each window run, and the ratio of the two.
// --port PATH polls an outside line (a simulator paced at the baud rate)
// instead of the built-in device that answers at once.
#include "ModbusRtu.h"
#include "RawPty.h"
#include "TComm.h"
#include "TPollingRun.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TNoticeQueue.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#ifdef QUELLMARK_BENCH_LIBMODBUS
#include <modbus.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

/// The line every run polls when --port names one; empty for the built-in device.
std::string OutsidePort;
bool CompareLibmodbus = false;

/// CPU time over wall time since construction: the whole process, and the
/// thread that made it (the window thread).
class TCpuMeter {
public:
    TCpuMeter()
        : Wall(Clock::now()), Process(Used(RUSAGE_SELF)), Thread(Used(RUSAGE_THREAD)),
          Sleeps(Switches()) {}

    /// Voluntary context switches of the whole process since construction:
    /// how often its threads blocked, whatever else the machine runs.
    long SleepsSince() const { return Switches() - Sleeps; }

    /// "process N %, window thread M %" of one core.
    std::string Text() const {
        const double wall = std::chrono::duration<double>(Clock::now() - Wall).count();
        char text[96];
        std::snprintf(text, sizeof text, "CPU: process %.1f %%, window thread %.1f %% of one core",
                      100.0 * (Used(RUSAGE_SELF) - Process) / wall,
                      100.0 * (Used(RUSAGE_THREAD) - Thread) / wall);
        return text;
    }

private:
    static double Used(int who) {
        rusage usage{};
        ::getrusage(who, &usage);
        const auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
        };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }

    static long Switches() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return usage.ru_nvcsw;
    }

    Clock::time_point Wall;
    double Process;
    double Thread;
    long Sleeps;
};

#ifdef QUELLMARK_BENCH_LIBMODBUS
/// Polls per second of a plain libmodbus loop over the same range, or nothing
/// when the line does not open.
std::optional<double> LibmodbusRun(const std::string& port, int from, int to, int registerCount,
                                   int seconds) {
    modbus_t* context = modbus_new_rtu(port.c_str(), 115200, 'N', 8, 1);
    if (context == nullptr)
        return std::nullopt;
    if (modbus_connect(context) != 0) {
        modbus_free(context);
        return std::nullopt;
    }
    modbus_set_response_timeout(context, 0, 500000); // Poll Timeout 500, as the window's run
    std::vector<std::uint16_t> registers(125);
    std::int64_t polls = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    for (int slave = from; Clock::now() < end; slave = slave == to ? from : slave + 1) {
        modbus_set_slave(context, slave);
        (void)modbus_read_registers(context, 0, registerCount, registers.data());
        ++polls;
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    modbus_close(context);
    modbus_free(context);
    return static_cast<double>(polls) / took;
}
#endif

/// A line of transmitters that answer every read request at once.
class TInstantDevice {
public:
    explicit TInstantDevice(int registerCount) {
        Path = OpenRawPty(Master, Slave);
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
    std::optional<TInstantDevice> device;
    if (OutsidePort.empty())
        device.emplace(registerCount);
    const std::string port = OutsidePort.empty() ? device->Path : OutsidePort;
    RunState.Reset();
    TfrmMain window(WriteConfig(dir, port, from, to, registerCount, 0));
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
    const TCpuMeter cpu;
    window.PollHost().ResetBacklog();
    sampler.start();
    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    sampler.stop();
    const double took = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
    const std::string cpuText = cpu.Text();
    const long sleeps = cpu.SleepsSince();
    window.btnStartClick();

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
    std::printf("\n  %s; %.1f voluntary context switches per poll\n", cpuText.c_str(),
                static_cast<double>(sleeps) /
                    static_cast<double>(std::max<std::int64_t>(1, ok + fail)));
    std::fflush(stdout);
#ifdef QUELLMARK_BENCH_LIBMODBUS
    if (CompareLibmodbus) {
        // A reply to the window's last request must not reach the loop.
        std::this_thread::sleep_for(500ms);
        if (const auto rate = LibmodbusRun(port, from, to, registerCount, seconds))
            std::printf(
                "  libmodbus loop on the same line: %.0f polls/s; window / libmodbus %.3f\n", *rate,
                static_cast<double>(ok + fail) / took / *rate);
        else
            std::printf("  libmodbus loop: the line did not open\n");
        std::fflush(stdout);
    }
#endif
}

/// Records when each poll ended and when the next one started (its discard, before the request).
class TTimingHost final : public TPollHost {
public:
    TTimingHost(TComm& comm, TNoticeQueue& queue) : Inner(comm, queue, {}) {}

    void SendRequest(const TFrame8& request) override { Inner.SendRequest(request); }
    void PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) override {
        Inner.PostPollResult(runId, slave, result);
        std::scoped_lock lock(Mutex);
        LastEnd = Clock::now();
    }
    void SendCaptionChanged() override {}
    // The first step of a poll: the pause ends here.
    void DiscardInput() override {
        const auto now = Clock::now();
        {
            std::scoped_lock lock(Mutex);
            if (LastEnd)
                Gaps.push_back(now - *LastEnd);
        }
        Inner.DiscardInput();
    }
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

/// The poll interval's error and the CPU used at `interval` ms, through the run logic.
void IntervalRun(const std::filesystem::path& dir, int interval, int seconds) {
    std::optional<TInstantDevice> device;
    if (OutsidePort.empty())
        device.emplace(2);
    RunState.Reset();
    LoadParams(
        WriteConfig(dir, OutsidePort.empty() ? device->Path : OutsidePort, 1, 10, 2, interval));
    TManualNoticeQueue queue;
    TComm comm(queue);
    TPollingRun run;
    comm.OnReceiveData = [&](TComm&, const char* buffer, std::uint16_t length) {
        run.ReceiveData(TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length),
                        std::chrono::system_clock::now());
    };
    ApplyCommSettings(comm);
    comm.OpenPort();
    TTimingHost host(comm, queue);
    const TCpuMeter cpu;
    run.Start(host, std::chrono::steady_clock::now());
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end)
        queue.WaitAndRun(20ms);
    const std::string cpuText = cpu.Text();
    run.Stop();
    comm.ClosePort();
    queue.RunPending();

    auto gaps = host.TakeGaps();
    std::vector<double> errors;
    for (const auto gap : gaps)
        errors.push_back(
            std::chrono::duration<double, std::micro>(gap - std::chrono::milliseconds(interval))
                .count());
    std::sort(errors.begin(), errors.end());
    if (errors.empty()) {
        std::printf("Poll Interval %d: no intervals measured; %s\n", interval, cpuText.c_str());
        return;
    }
    const auto at = [&](double q) {
        return errors[std::min(errors.size() - 1, static_cast<std::size_t>(q * errors.size()))];
    };
    std::printf("Poll Interval %d, %zu intervals: error median %.1f us, p99 %.1f us, max %.1f us\n"
                "  %s\n",
                interval, errors.size(), at(0.5), at(0.99), errors.back(), cpuText.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    int seconds = 10;
    bool onlyWindow = false;
    bool onlyInterval = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--port" && i + 1 < argc)
            OutsidePort = argv[++i];
        else if (arg == "--libmodbus")
            CompareLibmodbus = true;
        else if (arg == "--window-only")
            onlyWindow = true;
        else if (arg == "--interval-only")
            onlyInterval = true;
    }

    const auto dir = std::filesystem::temp_directory_path() /
                     ("quellmark-poll-bench-" + std::to_string(::getpid()));
    if (!onlyInterval) {
        WindowRun(dir / "small", 1, 10, 2, seconds);
        WindowRun(dir / "large", 1, 254, 16, seconds);
    }
    if (!onlyWindow) {
        IntervalRun(dir / "interval", 10, seconds);
        IntervalRun(dir / "interval-1000", 1000, std::max(seconds, 10));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
