// Figures under a flood, printed (not a test): a device that sends random
// bytes as fast as the pseudo-terminal takes them while the window runs in
// fixed-interval mode. Resident memory is sampled every second from another
// thread; after the flood, Stop is clicked through the window's event queue
// and timed from the moment it was asked for; then the error list is cleared
// and the memory sampled again.
#include "TFloodDevice.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpression>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

/// Resident memory of this process in MiB.
double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
        std::getline(status, key);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    int seconds = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));

    const auto dir = std::filesystem::temp_directory_path() /
                     ("quellmark-flood-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    TFloodDevice device;
    {
        std::ofstream file(dir / "Config.ini");
        file << "[Communication]\nComm Port=" << device.Path
             << "\nBaud Rate=115200\nPoll Interval=10\nPoll Timeout=100\nPoll From=1\nPoll To=10"
                "\nFrameBreakMode=1\nReadInterval=20\n[Modbus]\nRegister Begin=0\nRegister "
                "Count=2\n";
    }

    TfrmMain window((dir / "Config.ini").string());
    window.show();
    QCoreApplication::processEvents();
    const double before = ResidentMiB();
    window.btnStartClick();
    if (!window.Comm().PortOpen()) {
        std::printf("the port did not open\n");
        return 1;
    }
    device.Start();

    // Every line as it reaches the list: the list itself keeps only the latest.
    // Lines the run could not hand over (more than its bound of text waiting
    // for the window thread) are reported in one line each time it catches up.
    std::uint64_t linesShown = 0;
    std::uint64_t dropReports = 0;
    std::uint64_t droppedLines = 0;
    const QRegularExpression dropped(QStringLiteral("\\[出错信息过多!\\]\\[已丢弃(\\d+)行\\]"));
    QObject::connect(&window.InfoModel(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) {
                         for (int row = first; row <= last; ++row) {
                             ++linesShown;
                             const QString line =
                                 window.InfoModel().data(window.InfoModel().index(row)).toString();
                             const QRegularExpressionMatch match = dropped.match(line);
                             if (match.hasMatch()) {
                                 ++dropReports;
                                 droppedLines += match.captured(1).toULongLong();
                             }
                         }
                     });

    // Sampled beside the window thread, which may be busy for long stretches.
    std::atomic<double> peak{before};
    std::vector<double> perTenSeconds;
    std::atomic<bool> stopAsked{false};
    Clock::time_point askedAt;
    Clock::time_point clickedAt;
    Clock::time_point stoppedAt;
    std::jthread sampler([&](std::stop_token stop) {
        const auto start = Clock::now();
        for (int s = 1; s <= seconds && !stop.stop_requested(); ++s) {
            std::this_thread::sleep_until(start + std::chrono::seconds(s));
            const double now = ResidentMiB();
            if (now > peak)
                peak = now;
            if (s % 10 == 0)
                perTenSeconds.push_back(now);
        }
        // Stop, asked for as a user's click would be: through the event queue.
        askedAt = Clock::now();
        stopAsked = true;
        QMetaObject::invokeMethod(
            &window,
            [&] {
                clickedAt = Clock::now();
                window.findChild<QPushButton*>(QStringLiteral("btnStart"))->click();
                stoppedAt = Clock::now();
                QCoreApplication::exit(0);
            },
            Qt::QueuedConnection);
    });
    QApplication::exec();
    sampler.join();
    device.Stop();

    // The notices still queued at Stop are handled now; the report of dropped
    // lines comes with the next lines the window thread takes.
    const double afterStop = ResidentMiB();
    const qsizetype linesAtStop = window.InfoModel().Lines().size();
    const auto drainStart = Clock::now();
    for (qsizetype count = -1, now = 0; Clock::now() - drainStart < 60s; count = now) {
        const auto until = Clock::now() + 1s;
        while (Clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        window.InfoModel().Flush();
        now = window.InfoModel().Lines().size();
        if (now == count)
            break;
    }
    const double drained = ResidentMiB();
    const std::size_t textBytes = window.InfoModel().TextBytes();
    qsizetype lineCount = 0;
    std::size_t characters = 0;
    QStringList dropLines;
    {
        // Held only here: a copy of the lines shares their text with the list.
        const QStringList lines = window.InfoModel().Lines();
        lineCount = lines.size();
        for (const QString& line : lines) {
            characters += static_cast<std::size_t>(line.size());
            if (line.contains(QStringLiteral("[出错信息过多!]")))
                dropLines.append(QString(line.data(), line.size()));
        }
        if (std::getenv("FLOOD_BENCH_SAMPLE"))
            for (qsizetype i = 0; i < lines.size() && i < 5; ++i)
                std::printf("%s\n", lines[i].left(120).toUtf8().constData());
    }
    window.findChild<QPushButton*>(QStringLiteral("btnClearInfo"))->click();
    QCoreApplication::processEvents();
    const double afterClear = ResidentMiB();

    std::printf("flood of %d s: %.1f MiB sent by the device\n", seconds,
                static_cast<double>(device.Sent.load()) / (1 << 20));
    std::printf("resident memory: %.1f MiB before, peak %.1f MiB, every 10 s:", before,
                peak.load());
    for (double m : perTenSeconds)
        std::printf(" %.1f", m);
    std::printf(" MiB\n");
    std::printf("error list: %lld lines at Stop, %lld once the queued notices were handled, "
                "%.1f MiB of text (%.1f MiB counted), %lld of them report dropped lines:\n",
                static_cast<long long>(linesAtStop), static_cast<long long>(lineCount),
                static_cast<double>(textBytes) / (1 << 20),
                static_cast<double>(characters * 2) / (1 << 20),
                static_cast<long long>(dropLines.size()));
    for (const QString& line : dropLines)
        std::printf("  %s\n", line.toUtf8().constData());
    std::printf("all lines shown: %llu; %llu reports of lines dropped before the window thread "
                "took them, %llu lines dropped in all\n",
                static_cast<unsigned long long>(linesShown),
                static_cast<unsigned long long>(dropReports),
                static_cast<unsigned long long>(droppedLines));
    std::printf("Stop: %.0f ms from the request to the run stopped, of which %.0f ms in the "
                "click's handler (port %s)\n",
                std::chrono::duration<double, std::milli>(stoppedAt - askedAt).count(),
                std::chrono::duration<double, std::milli>(stoppedAt - clickedAt).count(),
                window.Comm().PortOpen() ? "still open" : "closed");
    std::printf("resident memory at Stop %.1f MiB, once the queue was handled %.1f MiB, after "
                "clearing the error list %.1f MiB\n",
                afterStop, drained, afterClear);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
