#include "TSimRunner.h"

#include "TLineRate.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

/// A writer that finds the line's buffer full for this long gives the reply up: nobody reads.
constexpr std::chrono::seconds StalledWriteLimit{2};

enum class TWait : std::uint8_t { Ready, Stop };

/// How the master has set the line, as the terminal's settings say; none when the line is no
/// terminal. Linux's pseudo-terminal driver clears PARENB at every change, so a master with
/// parity shows it by checking it (INPCK), and PARODD tells odd from even.
std::optional<TSimLine> SeenLine(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return std::nullopt;
    TSimLine line;
    line.baud = TerminalRate(fd);
    if ((settings.c_cflag & PARENB) != 0 || (settings.c_iflag & INPCK) != 0)
        line.parity = (settings.c_cflag & PARODD) != 0 ? 'O' : 'E';
    line.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return line;
}

class TRunner {
public:
    TRunner(TSimulator& simulator, int lineFd, int stopFd, const TRunSettings& settings,
            std::ostream& log)
        : simulator_(simulator), lineFd_(lineFd), stopFd_(stopFd), settings_(settings), log_(log),
          start_(Clock::now()),
          end_(settings.duration ? start_ + *settings.duration : Clock::time_point::max()) {}

    int Run() {
        std::array<std::uint8_t, 4096> buffer{};
        while (Wait(POLLIN, Clock::time_point::max()) == TWait::Ready) {
            const ssize_t count = ::read(lineFd_, buffer.data(), buffer.size());
            if (count < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                if (errno == EIO) {
                    // No client on the other end: nothing to read until one opens it.
                    if (Wait(0, Clock::now() + std::chrono::milliseconds{20}) == TWait::Stop)
                        break;
                    continue;
                }
                log_ << "quellmark-sim: read failed: " << std::strerror(errno) << '\n';
                return 1;
            }
            // Read right after the bytes: the master set the line before it sent them.
            const std::optional<TSimLine> seen = SeenLine(lineFd_);
            const auto plans = simulator_.OnReceived(
                TByteSpan(buffer.data(), static_cast<std::size_t>(count)), ValueTimeMs(), seen);
            bool going = true;
            for (const TReplyPlan& plan : plans) {
                going = going && Execute(plan);
                if (!going)
                    simulator_.OnPlanDone(plan, false);
            }
            if (!going)
                break;
        }
        return failed_ ? 1 : 0;
    }

private:
    std::int64_t ValueTimeMs() const {
        if (settings_.freeze)
            return 0;
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    }

    // Waits for `events` on the line (0: for time alone) until `until`. Ready: the line is
    // ready, or `until` has come; Stop: a stop signal, or the run's time is over.
    TWait Wait(short events, Clock::time_point until) {
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (now >= end_)
                return TWait::Stop;
            if (now >= until)
                return TWait::Ready;
            const Clock::time_point limit = std::min(until, end_);
            int timeoutMs = -1;
            if (limit != Clock::time_point::max()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - now);
                timeoutMs = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
            }
            std::array<pollfd, 2> fds{{{stopFd_, POLLIN, 0}, {lineFd_, events, 0}}};
            const int ready = ::poll(fds.data(), events != 0 ? 2 : 1, timeoutMs);
            if (ready < 0 && errno != EINTR) {
                log_ << "quellmark-sim: poll failed: " << std::strerror(errno) << '\n';
                failed_ = true;
                return TWait::Stop;
            }
            if (ready <= 0)
                continue;
            if (fds[0].revents != 0)
                return TWait::Stop;
            if (fds[1].revents != 0)
                return TWait::Ready;
        }
    }

    bool Pause(std::chrono::milliseconds silence) {
        if (silence.count() <= 0)
            return Wait(0, Clock::now()) == TWait::Ready;
        return Wait(0, Clock::now() + silence) == TWait::Ready;
    }

    // Writes `bytes[at..to)` completely, waiting while the line's buffer is full.
    bool WriteAll(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t to) {
        while (at < to) {
            const ssize_t written = ::write(lineFd_, bytes.data() + at, to - at);
            if (written > 0) {
                simulator_.OnSent(static_cast<std::size_t>(written));
                at += static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0 && errno != EAGAIN) {
                log_ << "quellmark-sim: write failed: " << std::strerror(errno) << '\n';
                failed_ = true;
                return false;
            }
            const Clock::time_point giveUp = Clock::now() + StalledWriteLimit;
            if (Wait(POLLOUT, giveUp) == TWait::Stop || Clock::now() >= giveUp) {
                if (Clock::now() >= giveUp)
                    log_ << "quellmark-sim: nobody reads the line, reply dropped\n";
                return false;
            }
        }
        return true;
    }

    // Sends `bytes`; paced, byte i is handed over when it would have fully arrived on a real
    // line, and the call returns when the last one has.
    bool Send(const std::vector<std::uint8_t>& bytes, int baud) {
        if (baud <= 0)
            return WriteAll(bytes, 0, bytes.size());
        const auto byteTime =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
        const Clock::time_point begin = Clock::now();
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const Clock::time_point now = Clock::now();
            const auto due = static_cast<std::size_t>(std::min<std::int64_t>(
                (now - begin) / byteTime, static_cast<std::int64_t>(bytes.size())));
            if (due > sent) {
                if (!WriteAll(bytes, sent, due))
                    return false;
                sent = due;
                continue;
            }
            if (Wait(0, begin + byteTime * static_cast<std::int64_t>(sent + 1)) == TWait::Stop)
                return false;
        }
        return true;
    }

    bool Execute(const TReplyPlan& plan) {
        if (settings_.verbose)
            LogPlan(plan);
        if (!Pause(plan.delay))
            return false;
        if (!plan.noise.empty() && (!Send(plan.noise, plan.baud) || !Pause(plan.noiseGap)))
            return false;
        if (!plan.reply.empty() && !Send(plan.reply, plan.baud))
            return false;
        simulator_.OnPlanDone(plan, true);
        return true;
    }

    void LogPlan(const TReplyPlan& plan) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        log_ << std::fixed << std::setprecision(3) << '[' << seconds << "] rx "
             << HexText(plan.request) << "-> "
             << (plan.garbled ? "garbled (line set otherwise)" : FaultName(plan.decision.kind));
        if (!plan.noise.empty())
            log_ << " noise " << HexText(plan.noise);
        if (!plan.reply.empty())
            log_ << " tx " << HexText(plan.reply);
        log_ << '\n';
    }

    TSimulator& simulator_;
    int lineFd_;
    int stopFd_;
    TRunSettings settings_;
    std::ostream& log_;
    Clock::time_point start_;
    Clock::time_point end_;
    bool failed_ = false;
};

} // namespace

int RunSimulator(TSimulator& simulator, int lineFd, int stopFd, const TRunSettings& settings,
                 std::ostream& log) {
    return TRunner(simulator, lineFd, stopFd, settings, log).Run();
}
