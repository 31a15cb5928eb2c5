// Linux: termios2 for arbitrary rates, the serial driver's low-latency flag,
// RS-485 mode and line counters, ppoll for fine time-outs, per-thread nice values and timer slack.
// This file must not see <termios.h>, which clashes with <asm/termbits.h>.

#include "TCommDeviceUnix.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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

static_assert(TRs485Settings::Enabled == SER_RS485_ENABLED);
static_assert(TRs485Settings::RtsOnSend == SER_RS485_RTS_ON_SEND);
static_assert(TRs485Settings::RtsAfterSend == SER_RS485_RTS_AFTER_SEND);
static_assert(TRs485Settings::RxDuringTx == SER_RS485_RX_DURING_TX);

namespace {

/// TIOCGRS485 and TIOCSRS485. The whole record last read is written back with
/// only the flags and delays changed, so fields this program does not know
/// (addresses, padding of newer kernels) stay as the driver had them.
class TKernelRs485 final : public TRs485Access {
public:
    explicit TKernelRs485(int fd) : Fd(fd) {}

    int Get(TRs485Settings& settings) override {
        serial_rs485 raw{};
        if (::ioctl(Fd, TIOCGRS485, &raw) != 0)
            return errno;
        Raw = raw;
        Take(raw, settings);
        return 0;
    }

    int Set(TRs485Settings& settings) override {
        serial_rs485 raw = Raw;
        raw.flags = settings.Flags;
        raw.delay_rts_before_send = settings.DelayRtsBeforeSendMs;
        raw.delay_rts_after_send = settings.DelayRtsAfterSendMs;
        if (::ioctl(Fd, TIOCSRS485, &raw) != 0)
            return errno;
        Raw = raw; // the kernel writes back what the driver took
        Take(raw, settings);
        return 0;
    }

private:
    static void Take(const serial_rs485& raw, TRs485Settings& settings) {
        settings.Flags = raw.flags;
        settings.DelayRtsBeforeSendMs = raw.delay_rts_before_send;
        settings.DelayRtsAfterSendMs = raw.delay_rts_after_send;
    }

    int Fd;
    serial_rs485 Raw{};
};

} // namespace

std::unique_ptr<TRs485Access> CommDeviceUnix::CreateRs485Access(int fd) {
    return std::make_unique<TKernelRs485>(fd);
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

bool CommDeviceUnix::IsPseudoTerminal(int fd) {
    // The terminal ends of Unix98 pseudo-terminals have majors 136 to 143
    // (UNIX98_PTY_SLAVE_MAJOR and the seven after it).
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned major = ::major(info.st_rdev);
    return major >= 136 && major <= 143;
}

bool CommDeviceUnix::HeldExclusively(int fd) {
    // TIOCGEXCL came with Linux 3.8; an older kernel refuses it, and then
    // only the kernel's own check at open() and the lock keep others out.
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
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
