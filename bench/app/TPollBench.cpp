// Figures of a polling run, printed (not a test):
//  1. polls per second through the window against a device on a
//     pseudo-terminal that answers at once, fixed-length framing, Poll Interval
//     0, with the most results counted by the run and not yet shown in the
//     window's table, per second;
//  2. the poll interval's error (the next request's hand-over minus the arrival
//     of the previous reply, against Poll Interval 10 and 1000): median and
//     99th percentile;
//  3. CPU: the process's CPU time over the wall time of each run, and the
//     window thread's alone, in per cent of one core;
//  4. with --libmodbus, a plain libmodbus polling loop on the same line for
//     the same time right after each window run, and the ratio of the two.
// --port PATH polls an outside line (a simulator paced at the baud rate)
// instead of the built-in device that answers at once.
#include "ModbusRtu.h"
#include "RawPty.h"
#include "TNoticeQueue.h"
#include "TPollingRun.h"
#include "TRunSession.h"
#include "TRunSettings.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
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

/// Results counted by the run and not yet in the window's table: the run's
/// totals minus the OK and FAIL cells the table shows now.
std::int64_t UnshownResults(TfrmMain& window, QTableWidget& table) {
    const auto [ok, fail] = window.RunSession().Run.Totals();
    std::int64_t shown = 0;
    const int columns = table.columnCount();
    for (int row = 0; columns >= 3 && row < table.rowCount(); ++row)
        for (const int column : {columns - 2, columns - 1})
            if (const QTableWidgetItem* item = table.item(row, column))
                shown += item->text().toLongLong();
    return ok + fail - shown;
}

/// Polls per second and the results waiting to be shown, through the window.
void WindowRun(const std::filesystem::path& dir, int from, int to, int registerCount, int seconds) {
    std::optional<TInstantDevice> device;
    if (OutsidePort.empty())
        device.emplace(registerCount);
    const std::string port = OutsidePort.empty() ? device->Path : OutsidePort;
    TfrmMain window(WriteConfig(dir, port, from, to, registerCount, 0));
    window.show();
    QCoreApplication::processEvents();
    window.btnStartClick();
    if (!window.Comm().PortOpen()) {
        std::printf("the port did not open\n");
        return;
    }
    auto* table = window.findChild<QTableWidget*>(QStringLiteral("lvResult"));

    // Sampled on the window thread every 50 ms, the most of each second kept:
    // a window that falls behind shows it as a figure that grows with time.
    std::vector<std::int64_t> maxPerSecond;
    std::int64_t maxThisSecond = 0;
    int samples = 0;
    QTimer sampler;
    sampler.setInterval(50);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        maxThisSecond = std::max(maxThisSecond, UnshownResults(window, *table));
        if (++samples % 20 == 0) {
            maxPerSecond.push_back(maxThisSecond);
            maxThisSecond = 0;
        }
    });
    QElapsedTimer elapsed;
    elapsed.start();
    const TCpuMeter cpu;
    sampler.start();
    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    sampler.stop();
    const double took = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
    const std::string cpuText = cpu.Text();
    const long sleeps = cpu.SleepsSince();
    window.btnStartClick();

    const auto [ok, fail] = window.RunSession().Run.Totals();
    std::printf("slaves %d-%d, Register Count %d, %d s: %.0f polls/s (%lld good, %lld time-outs); "
                "most results not yet shown in the table, per second:",
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

/// A run without a window: the pumping thread plays the owning loop, and every
/// block reaches the run's checks through a sink that notes when each reply
/// came. A poll's pause starts when its reply has been checked and ends when
/// the next request is handed over (TPendingRequest::HandedOverAt), so the
/// gap between the two is the pause plus the check, the poll thread's wake-up
/// and the discard before the next request.
class TTimedRun final : private TRunListener {
public:
    explicit TTimedRun(const TRunSettings& settings) {
        Session.Comm1.SetBlockSink([this](const char* buffer, std::uint16_t length) {
            const std::int64_t arrived = MonotonicNanoseconds();
            TPollingRun& run = Session.Run;
            // The request this block answers was handed over after the last reply.
            const TPendingRequest::TView before = run.RequestPending.Load();
            const std::int64_t handedOver = run.RequestPending.HandedOverAt();
            run.ReceiveData(TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length),
                            run.RunClock().Now());
            const TPendingRequest::TView after = run.RequestPending.Load();
            if (!before.Open() || after.Ticket != before.Ticket ||
                after.State != TPendingRequest::TState::Good)
                return;
            if (LastTicket != 0 && before.Ticket == LastTicket + 1)
                Gaps.push_back(std::chrono::nanoseconds(handedOver - LastReply));
            LastTicket = before.Ticket;
            LastReply = arrived;
        });
        Opened = Session.OpenAsSet(settings);
    }

    // The reader writes these until the port closes: they outlive the session.
    std::vector<Clock::duration> Gaps;
    std::uint32_t LastTicket = 0;
    std::int64_t LastReply = 0;

    TManualNoticeQueue Queue;
    TRunSession Session{Queue, *this};
    bool Opened = false;

private:
    void LinesReady() override { (void)Session.Run.TakeLines(); }
};

/// The poll interval's error and the CPU used at `interval` ms, through the run logic.
void IntervalRun(int interval, int seconds) {
    std::optional<TInstantDevice> device;
    if (OutsidePort.empty())
        device.emplace(2);
    TRunSettings settings;
    settings.CommName = OutsidePort.empty() ? device->Path : OutsidePort;
    settings.BaudRate = 115200;
    settings.PollInterval = interval;
    settings.PollTimeout = 500;
    settings.PollFrom = 1;
    settings.PollTo = 10;
    settings.FrameBreakMode = 0;
    settings.RegisterCount = 2;
    TTimedRun timed(settings);
    if (!timed.Opened) {
        std::printf("Poll Interval %d: the port did not open\n", interval);
        return;
    }
    const TCpuMeter cpu;
    timed.Session.StartRun(settings);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end)
        timed.Queue.WaitAndRun(20ms);
    const std::string cpuText = cpu.Text();
    timed.Session.StopRun();
    timed.Session.ClosePort();
    timed.Queue.RunPending();

    std::vector<double> errors;
    for (const auto gap : timed.Gaps)
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
        // Without a pause the gap is what every poll adds to its pause.
        IntervalRun(0, seconds);
        IntervalRun(10, seconds);
        IntervalRun(1000, std::max(seconds, 10));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
