// The pseudo-terminal's own share of the fixed-interval figure, without the
// serial link: a device thread writes a 9-byte reply every 40 ms (so the line
// is idle between replies, as in the fixed-interval benchmark), and a reader
// that waits for the first byte and then for a 20 ms quiet gap, the way the
// link does, measures from the write to the first byte and to the gap's end.
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Ms(TClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Print(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    std::printf("%-28s median %.3f ms  p99 %.3f ms  max %.3f ms\n", what,
                samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());
}

} // namespace

int main(int argc, char** argv) {
    const int replies = argc > 1 ? std::atoi(argv[1]) : 2000;
    int master = -1;
    int slave = -1;
    if (replies <= 0 || ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return 1;
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::atomic<TClock::rep> written{0};
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < replies; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            written = TClock::now().time_since_epoch().count();
            if (::write(master, "123456789", 9) != 9)
                std::abort();
        }
        done = true;
    });

    std::vector<double> firstByte;
    std::vector<double> gapEnd;
    char buffer[64];
    for (;;) {
        // A reply delayed past the next one's start merges with it; the loop
        // therefore ends on a quiet line once the device has finished.
        pollfd fd{slave, POLLIN, 0};
        if (::poll(&fd, 1, 200) == 0) {
            if (done)
                break;
            continue;
        }
        const TClock::time_point sent{TClock::duration(written.load())};
        firstByte.push_back(Ms(TClock::now() - sent));
        if (::read(slave, buffer, sizeof buffer) <= 0)
            std::abort();
        TClock::time_point last = TClock::now();
        for (;;) {
            const TClock::time_point deadline = last + std::chrono::milliseconds(20);
            const TClock::time_point now = TClock::now();
            if (now > deadline)
                break;
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
            timespec timeout{0, static_cast<long>(wait.count()) + 1};
            pollfd more{slave, POLLIN, 0};
            if (::ppoll(&more, 1, &timeout, nullptr) > 0 &&
                ::read(slave, buffer, sizeof buffer) > 0)
                last = TClock::now();
        }
        gapEnd.push_back(Ms(TClock::now() - sent));
    }
    device.join();
    std::printf("bare pseudo-terminal, %d replies after 40 ms of idle line each\n", replies);
    Print("write to first byte", firstByte);
    Print("write to end of 20 ms gap", gapEnd);
    return 0;
}
