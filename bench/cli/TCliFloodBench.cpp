// Figures of quellmark-cli under a flood, printed (not a test). A device on a
// pseudo-terminal writes random bytes as fast as the pseudo-terminal takes them
// (whatever the program sends is read and ignored), and quellmark-cli runs on
// it in fixed-interval mode with --duration and --json, as a separate process:
//  - to the end of its --duration, and
//  - once more, sent SIGINT (as Ctrl-C sends it) some seconds into the run.
// For each it prints the peak resident memory of quellmark-cli (ru_maxrss of
// the ended child, and the last VmHWM sampled from /proc/<pid>/status), its
// resident memory every 10 s, how long after --duration or after SIGINT it
// ended, when its JSON record began to appear, and what the record says.
// Times are taken from the device's first byte received from quellmark-cli
// (its first request; the run's clock starts just before it).
#include "TFloodDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double MiB(double bytes) {
    return bytes / (1 << 20);
}

/// "VmRSS:" or "VmHWM:" of a process in KiB; nothing once it has ended.
std::optional<double> StatusKiB(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            double kib = 0;
            status >> kib;
            return kib;
        }
        std::getline(status, word);
    }
    return std::nullopt;
}

std::uint64_t FileSize(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

/// A number after `"key": ` in the JSON record; nothing when absent.
std::optional<double> JsonNumber(const std::string& json, const std::string& key) {
    const std::string look = "\"" + key + "\": ";
    const std::size_t at = json.find(look);
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtod(json.c_str() + at + look.size(), nullptr);
}

struct TOptions {
    std::string Cli = QUELLMARK_CLI_PATH;
    double Duration = 60;
    double InterruptAfter = 10;
    int Rounds = 1;
    bool StderrToNull = false;
    /// A run still going this long after the end was asked for is killed.
    double GiveUp = 30;
    /// Standard error read at most this fast (MiB/s), as a slow terminal would; 0: at once.
    double StderrRate = 0;
    bool Ending = true;
    bool Interrupt = true;
};

struct TOutcome {
    double PeakMiB = 0;
    /// Ended, after the end of --duration or after SIGINT.
    double EndedAfter = 0;
};

/// One run of quellmark-cli on a fresh flooding device; with `interruptAfter`,
/// SIGINT that many seconds after its first request.
std::optional<TOutcome> CliRun(const TOptions& options, std::optional<double> interruptAfter) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quellmark-cli-flood-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto config = dir / "Config.ini";
    const auto json = dir / "out.json";
    TFloodDevice device;
    device.Start();
    std::ofstream(config) << "[Communication]\nComm Port=" << device.Path << "\n";

    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", options.Duration);
    std::vector<std::string> args{options.Cli,
                                  "--config",
                                  config.string(),
                                  "--baud",
                                  "115200",
                                  "--from",
                                  "1",
                                  "--to",
                                  "10",
                                  "--register-count",
                                  "2",
                                  "--frame-break",
                                  "interval",
                                  "--read-interval",
                                  "20",
                                  "--timeout",
                                  "100",
                                  "--interval",
                                  "10",
                                  "--duration",
                                  duration,
                                  "--json"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // Standard error is drained and counted as a terminal or a log would take it.
    int errPipe[2] = {-1, -1};
    if (!options.StderrToNull && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, json.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (options.StderrToNull)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    pid_t pid = 0;
    const Clock::time_point spawned = Clock::now();
    const int spawnError =
        ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (!options.StderrToNull)
        ::close(errPipe[1]);
    if (spawnError != 0) {
        std::printf("cannot start %s: %s\n", args[0].c_str(), std::strerror(spawnError));
        return std::nullopt;
    }

    std::atomic<std::uint64_t> errBytes{0};
    std::atomic<std::uint64_t> errLines{0};
    std::string errTail; // the last bytes, read after the drain has ended
    std::jthread drain;
    if (!options.StderrToNull)
        drain = std::jthread([&, fd = errPipe[0]] {
            std::vector<char> buffer(1 << 16);
            const Clock::time_point start = Clock::now();
            for (;;) {
                if (options.StderrRate > 0)
                    std::this_thread::sleep_until(
                        start +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            MiB(static_cast<double>(errBytes.load())) / options.StderrRate)));
                const ssize_t n = ::read(fd, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                errBytes += static_cast<std::uint64_t>(n);
                errLines +=
                    static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
                errTail.append(buffer.data(), static_cast<std::size_t>(n));
                if (errTail.size() > 8192)
                    errTail.erase(0, errTail.size() - 8192);
            }
            ::close(fd);
        });

    // Resident memory every 50 ms while the process lives, and the moment its
    // JSON record begins to appear (it is written at the end, in one piece).
    std::atomic<bool> ended{false};
    std::atomic<std::int64_t> reference{Clock::time_point::max().time_since_epoch().count()};
    double lastHwm = 0;
    double runHwm = 0; // sampled before the end of --duration or SIGINT
    std::vector<double> rssPerTen;
    std::optional<Clock::time_point> jsonFrom;
    std::jthread sampler([&] {
        Clock::time_point nextRss = spawned + 10s;
        while (!ended.load()) {
            if (const auto hwm = StatusKiB(pid, "VmHWM:")) {
                lastHwm = std::max(lastHwm, *hwm);
                if (Clock::now().time_since_epoch().count() < reference.load())
                    runHwm = lastHwm;
            }
            if (Clock::now() >= nextRss) {
                nextRss += 10s;
                if (const auto rss = StatusKiB(pid, "VmRSS:"))
                    rssPerTen.push_back(*rss / 1024);
            }
            if (!jsonFrom && FileSize(json) > 0)
                jsonFrom = Clock::now();
            std::this_thread::sleep_for(50ms);
        }
    });

    // The run's clock starts just before its first request.
    while (!device.FirstRequest() && Clock::now() - spawned < 10s)
        std::this_thread::sleep_for(1ms);
    const Clock::time_point first = device.FirstRequest().value_or(spawned);
    const auto after = [&](double seconds) {
        return first +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    std::optional<Clock::time_point> signalled;
    if (interruptAfter) {
        reference = after(*interruptAfter).time_since_epoch().count();
        std::this_thread::sleep_until(after(*interruptAfter));
        signalled = Clock::now();
        ::kill(pid, SIGINT);
    } else {
        reference = after(options.Duration).time_since_epoch().count();
    }
    const Clock::time_point endAsked = signalled ? *signalled : after(options.Duration);
    bool killed = false;
    std::jthread watchdog([&](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        if (!wake.wait_until(lock, stop,
                             endAsked + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.GiveUp)),
                             [] { return false; }) &&
            !stop.stop_requested()) {
            killed = true;
            ::kill(pid, SIGKILL);
        }
    });
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const Clock::time_point exited = Clock::now();
    watchdog.request_stop();
    watchdog.join();
    ended = true;
    sampler.join();
    if (drain.joinable())
        drain.join();

    std::string record;
    {
        std::ifstream in(json, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        record = text.str();
    }
    std::size_t kept = 0;
    for (std::size_t at = record.find("{\"time\": "); at != std::string::npos;
         at = record.find("{\"time\": ", at + 1))
        ++kept;
    const double cpu = Seconds(std::chrono::seconds(usage.ru_utime.tv_sec) +
                               std::chrono::microseconds(usage.ru_utime.tv_usec) +
                               std::chrono::seconds(usage.ru_stime.tv_sec) +
                               std::chrono::microseconds(usage.ru_stime.tv_usec));

    TOutcome outcome;
    outcome.PeakMiB = static_cast<double>(usage.ru_maxrss) / 1024;
    outcome.EndedAfter = Seconds(exited - endAsked);

    if (signalled)
        std::printf("SIGINT %.1f s into a run of --duration %g:\n", *interruptAfter,
                    options.Duration);
    else
        std::printf("--duration %g to its end:\n", options.Duration);
    std::printf("  exit %s %d; first request %.3f s after the start of the process\n",
                WIFEXITED(status) ? "code" : "by signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                Seconds(first - spawned));
    std::printf("  ended %.3f s after %s%s", outcome.EndedAfter,
                signalled ? "SIGINT" : "the end of --duration",
                killed ? ", killed (SIGKILL) when it had not ended by itself" : "");
    if (jsonFrom)
        std::printf("; its JSON record began to appear %.3f s after it (within 50 ms)",
                    Seconds(*jsonFrom - endAsked));
    std::printf("\n  peak resident memory %.1f MiB (ru_maxrss; VmHWM last sampled %.1f MiB, "
                "%.1f MiB before the end was asked for); every 10 s:",
                outcome.PeakMiB, lastHwm / 1024, runHwm / 1024);
    for (double m : rssPerTen)
        std::printf(" %.1f", m);
    std::printf(" MiB\n  CPU %.1f s (user %ld s, system %ld s); device sent %.1f MiB, "
                "received %llu bytes\n",
                cpu, static_cast<long>(usage.ru_utime.tv_sec),
                static_cast<long>(usage.ru_stime.tv_sec), MiB(static_cast<double>(device.Sent)),
                static_cast<unsigned long long>(device.Received.load()));
    if (!options.StderrToNull) {
        // The last line says whether the program's own closing message got through.
        while (!errTail.empty() && errTail.back() == '\n')
            errTail.pop_back();
        const std::size_t from = errTail.rfind('\n');
        std::string last = errTail.substr(from == std::string::npos ? 0 : from + 1);
        if (last.size() > 100) {
            // Cut before a character, not inside one.
            std::size_t cut = 100;
            while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80)
                --cut;
            last = last.substr(0, cut) + "...";
        }
        std::printf("  standard error: %.1f MiB, %llu lines; the last: %s\n",
                    MiB(static_cast<double>(errBytes.load())),
                    static_cast<unsigned long long>(errLines.load()), last.c_str());
    } else
        std::printf("  standard error: /dev/null\n");
    std::printf("  JSON record: %.1f MiB; elapsed_s %.3f, polls %.0f, %zu error lines kept, "
                "errors_omitted %.0f\n",
                MiB(static_cast<double>(record.size())),
                JsonNumber(record, "elapsed_s").value_or(-1),
                JsonNumber(record, "polls").value_or(-1), kept,
                JsonNumber(record, "errors_omitted").value_or(0));
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return outcome;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Summary(const char* what, const std::vector<TOutcome>& outcomes, const char* after) {
    if (outcomes.empty())
        return;
    std::vector<double> peaks;
    std::vector<double> ends;
    for (const TOutcome& o : outcomes) {
        peaks.push_back(o.PeakMiB);
        ends.push_back(o.EndedAfter);
    }
    std::printf("%s, %zu runs: peak resident memory median %.1f MiB (%.1f to %.1f); ended %s "
                "median %.3f s (%.3f to %.3f)\n",
                what, outcomes.size(), Median(peaks), *std::min_element(peaks.begin(), peaks.end()),
                *std::max_element(peaks.begin(), peaks.end()), after, Median(ends),
                *std::min_element(ends.begin(), ends.end()),
                *std::max_element(ends.begin(), ends.end()));
}

} // namespace

int main(int argc, char* argv[]) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--cli" && more)
            options.Cli = argv[++i];
        else if (arg == "--duration" && more)
            options.Duration = std::max(1.0, std::atof(argv[++i]));
        else if (arg == "--interrupt-after" && more)
            options.InterruptAfter = std::max(0.1, std::atof(argv[++i]));
        else if (arg == "--rounds" && more)
            options.Rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--give-up" && more)
            options.GiveUp = std::max(1.0, std::atof(argv[++i]));
        else if (arg == "--stderr-null")
            options.StderrToNull = true;
        else if (arg == "--stderr-rate" && more)
            options.StderrRate = std::max(0.0, std::atof(argv[++i]));
        else if (arg == "--only-duration")
            options.Interrupt = false;
        else if (arg == "--only-interrupt")
            options.Ending = false;
        else {
            std::fprintf(stderr,
                         "usage: %s [--cli PATH] [--duration S] [--interrupt-after S] "
                         "[--rounds N] [--give-up S] [--stderr-null | --stderr-rate MIB_S] "
                         "[--only-duration | --only-interrupt]\n",
                         argv[0]);
            return 2;
        }
    }
    char drained[64];
    if (options.StderrRate > 0)
        std::snprintf(drained, sizeof drained, "read from a pipe at %g MiB/s", options.StderrRate);
    std::printf("quellmark-cli: %s; fixed interval 20 ms, slaves 1-10, Poll Timeout 100 ms, "
                "Poll Interval 10 ms; standard error %s\n",
                options.Cli.c_str(),
                options.StderrToNull ? "to /dev/null"
                : options.StderrRate ? drained
                                     : "read from a pipe at once");
    std::vector<TOutcome> ending;
    std::vector<TOutcome> interrupted;
    for (int round = 1; round <= options.Rounds; ++round) {
        std::printf("round %d (load average %.2f)\n", round, [] {
            double load = 0;
            std::ifstream("/proc/loadavg") >> load;
            return load;
        }());
        if (options.Ending)
            if (const auto o = CliRun(options, std::nullopt))
                ending.push_back(*o);
        if (options.Interrupt)
            if (const auto o = CliRun(options, options.InterruptAfter))
                interrupted.push_back(*o);
    }
    Summary("to the end of --duration", ending, "after --duration");
    Summary("SIGINT", interrupted, "after SIGINT");
    return 0;
}
