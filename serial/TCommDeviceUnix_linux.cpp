// Linux: termios2 for arbitrary rates, the serial driver's low-latency flag and
// line counters, ppoll for fine time-outs, per-thread nice values and timer slack. This file
// must not see <termios.h>, which clashes with <asm/termbits.h>.

#include "TCommDeviceUnix.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

bool CommDeviceUnix::SetNonStandardBaud(int fd, std::uint32_t rate) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ::ioctl(fd, TCSETS2, &settings) == 0;
}

void CommDeviceUnix::RequestLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &serial);
}

bool CommDeviceUnix::ReadLineCounters(int fd, TLineCounters& counters) {
    serial_icounter_struct icount{};
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0)
        return false;
    counters.Frame = static_cast<std::uint32_t>(icount.frame);
    counters.Overrun = static_cast<std::uint32_t>(icount.overrun);
    counters.Parity = static_cast<std::uint32_t>(icount.parity);
    counters.Break = static_cast<std::uint32_t>(icount.brk);
    counters.BufferOverrun = static_cast<std::uint32_t>(icount.buf_overrun);
    counters.Carrier = static_cast<std::uint32_t>(icount.dcd);
    counters.Ring = static_cast<std::uint32_t>(icount.rng);
    return true;
}

bool CommDeviceUnix::ReadRates(int fd, std::uint32_t& output, std::uint32_t& input) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    output = settings.c_ospeed;
    input = settings.c_ispeed;
    return true;
}

unsigned CommDeviceUnix::InputSpeedBits() {
    return CIBAUD;
}

unsigned CommDeviceUnix::MarkSpaceParityFlag() {
    return CMSPAR;
}

int CommDeviceUnix::PollFor(pollfd* fds, nfds_t count,
                            std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout)
        return ::ppoll(fds, count, nullptr, nullptr);
    const auto ns = timeout->count() < 0 ? 0 : timeout->count();
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
    return ::ppoll(fds, count, &wait, nullptr);
}

void CommDeviceUnix::TuneThread(TCommDevice::TThreadRole role) {
    // A Linux nice value belongs to the thread. Lowering it needs privilege;
    // without it the thread keeps its priority, which is fine.
    const bool reader = role == TCommDevice::TThreadRole::Reader;
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, tid, reader ? -8 : -4);
    // The end of an inter-byte gap is a timer wake-up; the default slack of
    // 50 us lets the kernel defer it to batch it with others.
    if (reader)
        (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}
