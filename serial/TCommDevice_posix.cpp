// POSIX back end: a terminal device opened non-blocking, with a self-pipe as
// the stop signal polled beside it. The read rule runs in user space, since
// the terminal's own inter-byte timer counts in tenths of a second.

#include "TCommDevice.h"

#include "TCommDeviceUnix.h"
#include "TReadRule.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

/// Line counters are read this often while the driver keeps them.
constexpr auto LineEventPeriod = std::chrono::milliseconds(100);

class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& other) noexcept : Fd(other.Fd) { other.Fd = -1; }
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other) {
            Reset();
            Fd = other.Fd;
            other.Fd = -1;
        }
        return *this;
    }
    int Get() const { return Fd; }
    void Reset() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }

private:
    int Fd = -1;
};

bool SetFdFlags(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptor = ::fcntl(fd, F_GETFD);
    return status >= 0 && descriptor >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) == 0;
}

struct TRate {
    std::uint32_t Rate;
    speed_t Speed;
};

/// The rates every POSIX system has a speed constant for.
constexpr std::array<TRate, 18> StandardRates{{{50, B50},
                                               {75, B75},
                                               {110, B110},
                                               {134, B134},
                                               {150, B150},
                                               {200, B200},
                                               {300, B300},
                                               {600, B600},
                                               {1200, B1200},
                                               {1800, B1800},
                                               {2400, B2400},
                                               {4800, B4800},
                                               {9600, B9600},
                                               {19200, B19200},
                                               {38400, B38400},
                                               {57600, B57600},
                                               {115200, B115200},
                                               {230400, B230400}}};

/// The speed constant of a rate every POSIX system knows; B0 when there is none.
speed_t StandardSpeed(std::uint32_t rate) {
    for (const TRate& entry : StandardRates)
        if (entry.Rate == rate)
            return entry.Speed;
    return B0;
}

/// The rate of a speed constant; 0 when it is not one of the standard ones.
std::uint32_t RateOf(speed_t speed) {
    for (const TRate& entry : StandardRates)
        if (entry.Speed == speed)
            return entry.Rate;
    return 0;
}

/// The rates in force, read back from the driver.
void ReadBackRates(int fd, TStateResult& result) {
    if (CommDeviceUnix::ReadRates(fd, result.BaudRate, result.InputBaudRate))
        return;
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return;
    result.BaudRate = RateOf(::cfgetospeed(&settings));
    result.InputBaudRate = RateOf(::cfgetispeed(&settings));
}

/// The parity and stop bits in force, numbered as TCommState numbers them. A
/// pseudo-terminal's driver clears PARENB whatever was asked: it cannot tell.
void ReadBackFraming(int fd, TStateResult& result) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return;
    result.StopBits = static_cast<std::uint8_t>((settings.c_cflag & CSTOPB) != 0 ? 2 : 0);
    if (CommDeviceUnix::IsPseudoTerminal(fd))
        return;
    std::uint8_t parity = 0;
    if ((settings.c_cflag & PARENB) != 0) {
        const bool odd = (settings.c_cflag & PARODD) != 0;
        if ((settings.c_cflag & CommDeviceUnix::MarkSpaceParityFlag()) != 0)
            parity = odd ? 3 : 4;
        else
            parity = odd ? 1 : 2;
    }
    result.Parity = parity;
}

tcflag_t CharacterSize(std::uint8_t byteSize) {
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

void SetModemLine(int fd, int line, bool on) {
    int bits = line;
    (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

} // namespace

struct TCommDevice::TImpl {
    TFd Device;
    TFd WakeRead;
    TFd WakeWrite;
    TFd InterruptRead; // readable while an interrupt is pending
    TFd InterruptWrite;

    std::mutex TimeoutsMutex;
    TCommTimeouts Timeouts;                      // guarded by TimeoutsMutex
    std::atomic<unsigned> TimeoutsGeneration{0}; // bumped on every change

    // Window thread only.
    std::unique_ptr<TRs485Access> Rs485;
    TRs485Direction Rs485Direction;

    // True from the moment ReadBlock starts taking bytes until it ends the
    // block: set before the read, so that bytes are never out of the queue
    // and unaccounted for at once.
    std::atomic<bool> Taking{false};

    bool HasLineCounters = false; // reader only, after Open
    TLineCounters LineCounters;

    TCommTimeouts TakeTimeouts(unsigned& generation) {
        std::scoped_lock lock(TimeoutsMutex);
        generation = TimeoutsGeneration.load(std::memory_order_relaxed);
        return Timeouts;
    }

    void CheckLineEvents(const TLineEventSink& sink) {
        TLineCounters now;
        if (!CommDeviceUnix::ReadLineCounters(Device.Get(), now))
            return;
        const TLineEvent event = CompareLineCounters(LineCounters, now);
        LineCounters = now;
        if (event.Any() && sink)
            sink(event);
    }
};

TCommDevice::TCommDevice(std::unique_ptr<TImpl> impl) : Impl(std::move(impl)) {}

TCommDevice::~TCommDevice() {
    if (Impl && Impl->Rs485)
        Impl->Rs485Direction.Restore(*Impl->Rs485); // the next user finds the port as it was
    if (Impl && Impl->Device.Get() >= 0)
        (void)::ioctl(Impl->Device.Get(), TIOCNXCL); // let the next opener in
}

std::string TCommDevice::DevicePath(const std::string& commName) {
    if (!commName.empty() && commName.front() == '/')
        return commName;
    // "COM<n>" names the n-th serial port, which Linux calls ttyS<n-1>.
    if (commName.size() > 3 && commName.compare(0, 3, "COM") == 0 && commName.size() <= 8) {
        unsigned long number = 0;
        bool digits = true;
        for (std::size_t i = 3; i < commName.size(); ++i) {
            if (commName[i] < '0' || commName[i] > '9') {
                digits = false;
                break;
            }
            number = number * 10 + static_cast<unsigned long>(commName[i] - '0');
        }
        if (digits && number >= 1)
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + commName;
}

TCommDevice::TOpenResult TCommDevice::Open(const std::string& commName,
                                           std::unique_ptr<TCommDevice>& device,
                                           TDeviceError& error) {
    error = {};
    const std::string path = DevicePath(commName);
    TFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        error = CommDeviceUnix::ErrorFromErrno(errno, path);
        return TOpenResult::CannotOpen;
    }
    if (::isatty(fd.Get()) != 1) {
        error = CommDeviceUnix::ErrorFromErrno(ENOTTY, path);
        return TOpenResult::NotComm;
    }
    // TIOCEXCL keeps out other openers but not a privileged one, which the
    // kernel lets in to share the line; so the flag is asked for here too.
    if (CommDeviceUnix::HeldExclusively(fd.Get())) {
        error = CommDeviceUnix::ErrorFromErrno(EBUSY, path);
        return TOpenResult::CannotOpen;
    }
    // The advisory lock keeps out every cooperating opener, root included,
    // also one that has not set the flag.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        // Held by another opener, which a lock reports as "would block".
        error = CommDeviceUnix::ErrorFromErrno(errno == EWOULDBLOCK ? EBUSY : errno, path);
        return TOpenResult::CannotOpen;
    }

    auto impl = std::make_unique<TImpl>();
    std::array<int, 2> wake{-1, -1};
    if (::pipe(wake.data()) != 0) {
        error = CommDeviceUnix::ErrorFromErrno(errno, path);
        return TOpenResult::NoStopSignal;
    }
    impl->WakeRead = TFd(wake[0]);
    impl->WakeWrite = TFd(wake[1]);
    if (!SetFdFlags(wake[0]) || !SetFdFlags(wake[1])) {
        error = CommDeviceUnix::ErrorFromErrno(errno, path);
        return TOpenResult::NoStopSignal;
    }
    std::array<int, 2> interrupt{-1, -1};
    if (::pipe(interrupt.data()) != 0) {
        error = CommDeviceUnix::ErrorFromErrno(errno, path);
        return TOpenResult::NoStopSignal;
    }
    impl->InterruptRead = TFd(interrupt[0]);
    impl->InterruptWrite = TFd(interrupt[1]);
    if (!SetFdFlags(interrupt[0]) || !SetFdFlags(interrupt[1])) {
        error = CommDeviceUnix::ErrorFromErrno(errno, path);
        return TOpenResult::NoStopSignal;
    }
    // Set only once nothing can fail any more: the destructor clears it again.
    (void)::ioctl(fd.Get(), TIOCEXCL);

    // Raw from the start; the component's settings follow at once.
    termios settings{};
    if (::tcgetattr(fd.Get(), &settings) == 0) {
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        (void)::tcsetattr(fd.Get(), TCSANOW, &settings);
    }
    CommDeviceUnix::RequestLowLatency(fd.Get());
    impl->HasLineCounters = CommDeviceUnix::ReadLineCounters(fd.Get(), impl->LineCounters);
    // The kernel's terminal queues (4096 bytes each way) are fixed; nothing to set up.

    impl->Device = std::move(fd);
    impl->Rs485 = Rs485AccessFactory() ? Rs485AccessFactory()(path)
                                       : CommDeviceUnix::CreateRs485Access(impl->Device.Get());
    device.reset(new TCommDevice(std::move(impl)));
    return TOpenResult::Opened;
}

void TCommDevice::TuneThread(TThreadRole role) {
    CommDeviceUnix::TuneThread(role);
}

TStateResult TCommDevice::ApplyState(const TCommState& state) {
    const int fd = Impl->Device.Get();
    TStateResult result;
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        result.Error = CommDeviceUnix::ErrorFromErrno(errno, {});
        return result;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    // Without a separate input speed the input follows the output: a rate set
    // earlier without a speed constant must not stay behind on the input side.
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS |
                                               CommDeviceUnix::MarkSpaceParityFlag() |
                                               CommDeviceUnix::InputSpeedBits());
    settings.c_cflag |= CharacterSize(state.ByteSize);
    if (state.StopBits != 0)
        settings.c_cflag |= CSTOPB; // 1.5 stop bits exist only as "two" at 5 data bits
    switch (state.Parity) {
    case 1:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        settings.c_cflag |= PARENB;
        break;
    case 3:
        settings.c_cflag |= PARENB | PARODD | CommDeviceUnix::MarkSpaceParityFlag();
        break;
    case 4:
        settings.c_cflag |= PARENB | CommDeviceUnix::MarkSpaceParityFlag();
        break;
    default:
        break;
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (state.ParityCheck)
        settings.c_iflag |= INPCK;
    if (state.OutX)
        settings.c_iflag |= IXON;
    if (state.InX)
        settings.c_iflag |= IXOFF;
    if (state.OutxCtsFlow || state.Rts == TRtsLine::Handshake)
        settings.c_cflag |= CRTSCTS;
    settings.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;

    const speed_t speed = StandardSpeed(state.BaudRate);
    if (speed != B0) {
        (void)::cfsetispeed(&settings, speed);
        (void)::cfsetospeed(&settings, speed);
    }
    // Refused settings leave the device as it was; what it holds is read back below.
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        result.Error = CommDeviceUnix::ErrorFromErrno(errno, {});
    if (speed == B0 && state.BaudRate != 0) {
        errno = 0;
        if (!CommDeviceUnix::SetNonStandardBaud(fd, state.BaudRate) && !result.Error)
            result.Error = CommDeviceUnix::ErrorFromErrno(errno != 0 ? errno : EINVAL, {});
    }

    // DTR: asserted unless disabled (terminals have no DTR handshake).
    SetModemLine(fd, TIOCM_DTR, state.Dtr != TDtrLine::Disable);
    // RTS: under handshake the driver drives it; toggling is not offered, so
    // it rests low as a toggled RTS does between transmissions.
    if (state.Rts != TRtsLine::Handshake)
        SetModemLine(fd, TIOCM_RTS, state.Rts == TRtsLine::Enable);

    // The rate, the parity and the stop bits are read back; not the data bits
    // or the modem lines, which every pseudo-terminal refuses, so that their
    // refusal says nothing about a line.
    ReadBackRates(fd, result);
    ReadBackFraming(fd, result);
    return result;
}

void TCommDevice::ApplyTimeouts(const TCommTimeouts& timeouts) {
    // Write time-outs only cut a write into parts, which are then continued;
    // with non-blocking writes they change nothing, so only the read side uses them.
    std::scoped_lock lock(Impl->TimeoutsMutex);
    Impl->Timeouts = timeouts;
    Impl->TimeoutsGeneration.fetch_add(1, std::memory_order_relaxed);
}

void TCommDevice::PurgeInput() {
    (void)::tcflush(Impl->Device.Get(), TCIFLUSH);
}

void TCommDevice::PurgeOutput() {
    (void)::tcflush(Impl->Device.Get(), TCOFLUSH);
}

int TCommDevice::SetRs485Direction(bool on) {
    if (!Impl->Rs485)
        return ENOTTY;
    TRs485Direction& direction = Impl->Rs485Direction;
    if (!on) {
        direction.Restore(*Impl->Rs485);
        return 0;
    }
    return direction.Active() ? 0 : direction.Enable(*Impl->Rs485);
}

void TCommDevice::Stop() {
    // The pipe is never drained, so it stays readable: every later wait ends too.
    const char signal = 1;
    (void)!::write(Impl->WakeWrite.Get(), &signal, 1);
}

void TCommDevice::Interrupt() {
    const char signal = 1;
    (void)!::write(Impl->InterruptWrite.Get(), &signal, 1);
}

void TCommDevice::ClearInterrupt() {
    std::array<char, 64> drain{};
    while (::read(Impl->InterruptRead.Get(), drain.data(), drain.size()) > 0) {
    }
}

std::size_t TCommDevice::ReadWaiting(std::span<char> into) {
    std::size_t total = 0;
    while (total < into.size()) {
        const ssize_t count = ::read(Impl->Device.Get(), into.data() + total, into.size() - total);
        if (count > 0)
            total += static_cast<std::size_t>(count);
        else if (count < 0 && errno == EINTR)
            continue;
        else
            break; // nothing more waits, or the device failed: the reader finds out next
    }
    return total;
}

bool TCommDevice::NothingReceived() {
    // The queue first, then the reader: a reader that took bytes after the
    // first test has said so before it took them.
    int waiting = 0;
    if (::ioctl(Impl->Device.Get(), FIONREAD, &waiting) != 0 || waiting != 0)
        return false;
    return !Impl->Taking.load();
}

TCommDevice::TIo TCommDevice::ReadBlock(std::span<char> block, std::size_t& received,
                                        const TLineEventSink& lineEvents) {
    received = 0;
    FReadFailure = 0;
    Impl->Taking = false;
    unsigned generation = 0;
    TReadRule rule(Impl->TakeTimeouts(generation), block.size(), TClock::now());
    TClock::time_point nextLineCheck = TClock::now() + LineEventPeriod;

    for (;;) {
        TClock::time_point now = TClock::now();
        if (rule.Complete(now))
            return TIo::Done;

        std::optional<TClock::time_point> wakeAt = rule.Deadline();
        if (Impl->HasLineCounters && (!wakeAt || nextLineCheck < *wakeAt))
            wakeAt = nextLineCheck;
        std::optional<std::chrono::nanoseconds> timeout;
        if (wakeAt)
            timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(*wakeAt - now);

        std::array<pollfd, 3> fds{{{Impl->WakeRead.Get(), POLLIN, 0},
                                   {Impl->Device.Get(), POLLIN, 0},
                                   {Impl->InterruptRead.Get(), POLLIN, 0}}};
        const int ready = CommDeviceUnix::PollFor(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            FReadFailure = errno;
            return TIo::Failed;
        }
        // A stop request goes before data, and so does an interrupt: the bytes
        // that wait are the interrupter's to take.
        if (fds[0].revents != 0)
            return TIo::Stopped;
        if (fds[2].revents != 0)
            return TIo::Interrupted;

        if ((fds[1].revents & POLLIN) != 0) {
            Impl->Taking = true;
            const ssize_t count =
                ::read(Impl->Device.Get(), block.data() + received, block.size() - received);
            if (count <= 0 && received == 0)
                Impl->Taking = false;
            if (count > 0) {
                received += static_cast<std::size_t>(count);
                rule.Received(block.first(received), TClock::now(), EndRule.load());
            } else if (count == 0) {
                return TIo::Failed; // end of file: the other end of the line is gone
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                FReadFailure = errno;
                return TIo::Failed;
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return TIo::Failed;
        }

        if (Impl->TimeoutsGeneration.load(std::memory_order_relaxed) != generation)
            rule.Retime(Impl->TakeTimeouts(generation));
        if (Impl->HasLineCounters && TClock::now() >= nextLineCheck) {
            Impl->CheckLineEvents(lineEvents);
            nextLineCheck = TClock::now() + LineEventPeriod;
        }
    }
}

TCommDevice::TIo TCommDevice::Write(std::span<const char> data) {
    FWriteFailure = 0;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t count = ::write(Impl->Device.Get(), data.data() + done, data.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            FWriteFailure = count < 0 ? errno : 0;
            return TIo::Failed;
        }

        std::array<pollfd, 2> fds{
            {{Impl->WakeRead.Get(), POLLIN, 0}, {Impl->Device.Get(), POLLOUT, 0}}};
        const int ready = CommDeviceUnix::PollFor(fds.data(), fds.size(), std::nullopt);
        if (ready < 0 && errno != EINTR) {
            FWriteFailure = errno;
            return TIo::Failed;
        }
        if (fds[0].revents != 0)
            return TIo::Stopped;
        if ((fds[1].revents & POLLOUT) == 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            return TIo::Failed;
    }
    return TIo::Done;
}

TDeviceError TCommDevice::ErrorOf(int code) {
    return CommDeviceUnix::ErrorFromErrno(code, {});
}

TDeviceError CommDeviceUnix::ErrorFromErrno(int code, const std::string& path) {
    TDeviceError error;
    error.Code = code;
    error.Text = std::system_category().message(code);
    switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        error.Kind = TDeviceError::TKind::NotFound;
        break;
    case EBUSY:
        error.Kind = TDeviceError::TKind::Busy;
        break;
    case EACCES:
    case EPERM:
        error.Kind = TDeviceError::TKind::Permission;
        break;
    case ENOTTY:
        error.Kind = TDeviceError::TKind::NotTerminal;
        break;
    case EINVAL:
        error.Kind = TDeviceError::TKind::Unsupported;
        break;
    default:
        error.Kind = TDeviceError::TKind::Other;
        break;
    }
    struct stat info {};
    if (error.Kind == TDeviceError::TKind::Permission && !path.empty() &&
        ::stat(path.c_str(), &info) == 0) {
        group entry{};
        group* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            error.Group = found->gr_name;
        else
            error.Group = std::to_string(info.st_gid);
    }
    return error;
}
