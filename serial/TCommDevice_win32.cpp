// Win32 back end: the device opened for overlapped I/O; every operation is
// waited on together with a manual-reset stop event, and an operation that is
// given up is cancelled and its completion collected before its record or
// buffer goes away.
//
// The read rule runs in user space, as on POSIX, rather than in the driver's
// interval time-out: drivers (and wine) implement that time-out unevenly, and
// block boundaries must not depend on it. Each step takes what the input queue
// already holds, or else waits for one byte with a total time-out that ends at
// the rule's next deadline.

#include "TCommDevice.h"

#include "TReadRule.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>

namespace {

using TClock = std::chrono::steady_clock;

/// Without line-event notification, errors and modem lines are looked at this often.
constexpr auto LineEventPeriod = std::chrono::milliseconds(100);
/// A read or write that ends empty long before its time is not retried sooner than this.
constexpr DWORD EmptyRetryMs = 10;
constexpr DWORD QueueSize = 4096;

class THandle {
public:
    THandle() = default;
    explicit THandle(HANDLE handle) : Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~THandle() { Reset(); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    THandle(THandle&& other) noexcept : Handle(other.Handle) { other.Handle = nullptr; }
    THandle& operator=(THandle&& other) noexcept {
        if (this != &other) {
            Reset();
            Handle = other.Handle;
            other.Handle = nullptr;
        }
        return *this;
    }
    HANDLE Get() const { return Handle; }
    explicit operator bool() const { return Handle != nullptr; }
    void Reset() {
        if (Handle != nullptr)
            ::CloseHandle(Handle);
        Handle = nullptr;
    }

private:
    HANDLE Handle = nullptr;
};

THandle NewEvent(bool manualReset, bool signalled) {
    return THandle(::CreateEventW(nullptr, manualReset, signalled, nullptr));
}

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                              length);
    return wide;
}

DWORD WaitMs(std::chrono::nanoseconds time) {
    if (time <= std::chrono::nanoseconds::zero())
        return 1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(time).count();
    return static_cast<DWORD>(std::clamp<long long>(ms, 1, 0x7FFFFFFF));
}

/// How an overlapped operation ended.
enum class TEnd : std::uint8_t { Done, Stopped, Interrupted, Woken, Failed };

TDeviceError ErrorFromCode(DWORD code) {
    using TKind = TDeviceError::TKind;
    TDeviceError error;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        error.Kind = TKind::NotFound;
        break;
    case ERROR_ACCESS_DENIED: // a port held by another opener says so
    case ERROR_SHARING_VIOLATION:
        error.Kind = TKind::Busy;
        break;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        error.Kind = TKind::NotTerminal;
        break;
    case ERROR_INVALID_PARAMETER:
        error.Kind = TKind::Unsupported;
        break;
    default:
        error.Kind = TKind::Other;
        break;
    }
    error.Code = static_cast<int>(code);
    error.Text = std::system_category().message(error.Code);
    return error;
}

TDeviceError LastDeviceError() {
    return ErrorFromCode(::GetLastError());
}

} // namespace

TDeviceError TCommDevice::ErrorOf(int code) {
    return ErrorFromCode(static_cast<DWORD>(code));
}

struct TCommDevice::TImpl {
    THandle Device;
    THandle StopEvent;      // manual reset, never reset: every later wait ends too
    THandle RetimeEvent;    // auto reset: new time-outs for the reader
    THandle InterruptEvent; // manual reset: set by Interrupt until ClearInterrupt
    THandle ReadEvent;      // of the reader's record
    THandle WriteEvent;     // of the writer's record
    THandle LineEvent;      // of the line-event record
    bool TimerPeriodSet = false;

    std::atomic<bool> Taking{false};           // the reader holds bytes of a begun block
    std::atomic<DWORD> ErrorsSeenElsewhere{0}; // error flags another thread cleared

    std::mutex TimeoutsMutex;
    TCommTimeouts Timeouts;                      // guarded by TimeoutsMutex
    std::atomic<unsigned> TimeoutsGeneration{0}; // bumped on every change

    // Reader only, after Open.
    OVERLAPPED LineRecord{};
    DWORD LineMask = 0;
    bool LinePending = false;
    bool LineEventsRefused = false;
    bool ModemStatusWorks = false;
    DWORD ModemStatus = 0;
    std::optional<DWORD> DeviceReadWait; // the total read time-out now in the device
    bool ErrorsSinceLineEvent = false;

    ~TImpl() {
        // A line-event wait may still be outstanding: it writes into LineRecord
        // and LineMask until it has completed or been cancelled.
        if (LinePending) {
            DWORD ignored = 0;
            ::CancelIoEx(Device.Get(), &LineRecord);
            (void)::GetOverlappedResult(Device.Get(), &LineRecord, &ignored, TRUE);
        }
        if (TimerPeriodSet)
            ::timeEndPeriod(1);
    }

    TCommTimeouts TakeTimeouts(unsigned& generation) {
        std::scoped_lock lock(TimeoutsMutex);
        generation = TimeoutsGeneration.load(std::memory_order_relaxed);
        return Timeouts;
    }

    /// Puts the reader's time-outs into the device: a read waits at most
    /// `waitMs` for its first byte (0: without limit); write time-outs as set.
    void SetReadWait(DWORD waitMs) {
        if (DeviceReadWait && *DeviceReadWait == waitMs)
            return;
        COMMTIMEOUTS timeouts{};
        {
            std::scoped_lock lock(TimeoutsMutex);
            timeouts.WriteTotalTimeoutMultiplier = Timeouts.WriteTotalTimeoutMultiplier;
            timeouts.WriteTotalTimeoutConstant = Timeouts.WriteTotalTimeoutConstant;
        }
        timeouts.ReadTotalTimeoutConstant = waitMs;
        if (::SetCommTimeouts(Device.Get(), &timeouts))
            DeviceReadWait = waitMs;
    }

    /// Error flags the device collected, and the bytes waiting in its input queue.
    DWORD TakeErrors(DWORD& queued, const TLineEventSink& sink) {
        DWORD errors = 0;
        COMSTAT status{};
        queued = 0;
        if (!::ClearCommError(Device.Get(), &errors, &status))
            return 0;
        queued = status.cbInQue;
        errors |= ErrorsSeenElsewhere.exchange(0);
        if (errors != 0) {
            ErrorsSinceLineEvent = true;
            if (sink)
                sink(TLineEvent{true, errors, 0});
        }
        return errors;
    }

    /// Starts the wait for line events; a device that refuses it is watched
    /// by looking at its error flags and modem lines instead.
    void ArmLineEvents(const TLineEventSink& sink) {
        while (!LinePending && !LineEventsRefused) {
            if (::WaitForSingleObject(StopEvent.Get(), 0) == WAIT_OBJECT_0)
                return;
            LineRecord = OVERLAPPED{};
            LineRecord.hEvent = LineEvent.Get();
            LineMask = 0;
            if (::WaitCommEvent(Device.Get(), &LineMask, &LineRecord)) {
                HandleLineMask(sink);
                continue;
            }
            if (::GetLastError() == ERROR_IO_PENDING)
                LinePending = true;
            else
                LineEventsRefused = true;
        }
    }

    void CompleteLineEvent(const TLineEventSink& sink) {
        DWORD ignored = 0;
        LinePending = false;
        if (!::GetOverlappedResult(Device.Get(), &LineRecord, &ignored, FALSE)) {
            LineEventsRefused = true; // fall back to looking; the reads say if the device is gone
            return;
        }
        HandleLineMask(sink);
        ArmLineEvents(sink);
    }

    void HandleLineMask(const TLineEventSink& sink) {
        TLineEvent event;
        if ((LineMask & EV_ERR) != 0) {
            DWORD errors = 0;
            COMSTAT status{};
            if (::ClearCommError(Device.Get(), &errors, &status)) {
                // Flags already reported while reading are not reported twice.
                event.Error = errors != 0 || !ErrorsSinceLineEvent;
                event.ErrorFlags = errors;
            }
            ErrorsSinceLineEvent = false;
        }
        if ((LineMask & EV_RLSD) != 0)
            event.Modem |= ModemCarrierChanged;
        if ((LineMask & EV_RING) != 0)
            event.Modem |= ModemRing;
        if (event.Any() && sink)
            sink(event);
    }

    /// Without line-event notification: modem-line changes by looking.
    void LookAtModemLines(const TLineEventSink& sink) {
        if (!ModemStatusWorks)
            return;
        DWORD status = 0;
        if (!::GetCommModemStatus(Device.Get(), &status))
            return;
        TLineEvent event;
        if (((status ^ ModemStatus) & MS_RLSD_ON) != 0)
            event.Modem |= ModemCarrierChanged;
        if ((status & MS_RING_ON) != 0 && (ModemStatus & MS_RING_ON) == 0)
            event.Modem |= ModemRing;
        ModemStatus = status;
        if (event.Any() && sink)
            sink(event);
    }

    /// Cancels the operation of `record` and waits until it has ended; only
    /// then may its buffer go. A cancel that goes unnoticed (seen under wine)
    /// is repeated, and an abort purge of that direction ends the operation too.
    void CancelAndCollect(OVERLAPPED& record, bool reading) {
        for (;;) {
            ::CancelIoEx(Device.Get(), &record);
            if (::WaitForSingleObject(record.hEvent, 100) != WAIT_TIMEOUT)
                return;
            ::PurgeComm(Device.Get(), reading ? PURGE_RXABORT : PURGE_TXABORT);
            if (::WaitForSingleObject(record.hEvent, 100) != WAIT_TIMEOUT)
                return;
        }
    }

    /// Waits for `record` to complete, for the stop signal, or (reader) for a
    /// line event or new time-outs. On anything but completion the operation
    /// is cancelled and its completion collected, so that its buffer is free.
    TEnd Await(OVERLAPPED& record, DWORD& count, bool reader, const TLineEventSink& sink) {
        count = 0;
        for (;;) {
            // The stop signal is first, so it wins over everything else; an
            // interrupt wins over data.
            HANDLE handles[5] = {StopEvent.Get(), nullptr, nullptr, nullptr, nullptr};
            DWORD n = 1;
            if (reader)
                handles[n++] = InterruptEvent.Get();
            const DWORD recordAt = n;
            handles[n++] = record.hEvent;
            if (reader) {
                handles[n++] = RetimeEvent.Get();
                if (LinePending)
                    handles[n++] = LineEvent.Get();
            }
            const DWORD woke = ::WaitForMultipleObjects(n, handles, FALSE, INFINITE);
            if (woke == WAIT_OBJECT_0 + recordAt)
                break;
            if (reader && woke == WAIT_OBJECT_0 + recordAt + 2) {
                CompleteLineEvent(sink);
                continue;
            }
            CancelAndCollect(record, record.hEvent == ReadEvent.Get());
            const BOOL done = ::GetOverlappedResult(Device.Get(), &record, &count, TRUE);
            // Cancelled, or (wine) timed out empty just then: either way it has ended.
            const bool ended = done || Benign(::GetLastError());
            if (woke == WAIT_OBJECT_0)
                return TEnd::Stopped;
            if (reader && woke == WAIT_OBJECT_0 + 1)
                return ended ? TEnd::Interrupted : TEnd::Failed;
            if (reader && woke == WAIT_OBJECT_0 + recordAt + 1)
                return ended ? TEnd::Woken : TEnd::Failed;
            return TEnd::Failed;
        }
        if (::GetOverlappedResult(Device.Get(), &record, &count, FALSE))
            return TEnd::Done;
        return Benign(::GetLastError()) ? TEnd::Done : TEnd::Failed;
    }

    /// Errors that end a read or write early without the device being at fault:
    /// a purge, or (wine) a read that timed out with no byte.
    static bool Benign(DWORD error) {
        return error == ERROR_OPERATION_ABORTED || error == ERROR_TIMEOUT;
    }

    /// One overlapped read of up to `count` bytes.
    TEnd ReadOnce(char* into, DWORD count, DWORD& got, const TLineEventSink& sink) {
        OVERLAPPED record{};
        ::ResetEvent(ReadEvent.Get());
        record.hEvent = ReadEvent.Get();
        got = 0;
        if (::ReadFile(Device.Get(), into, count, nullptr, &record) ||
            ::GetLastError() == ERROR_IO_PENDING)
            return Await(record, got, true, sink);
        return Benign(::GetLastError()) ? TEnd::Done : TEnd::Failed;
    }

    /// Sleeps on the stop signal; false when stopped.
    bool Pause(DWORD ms) { return ::WaitForSingleObject(StopEvent.Get(), ms) == WAIT_TIMEOUT; }
};

TCommDevice::TCommDevice(std::unique_ptr<TImpl> impl) : Impl(std::move(impl)) {}

TCommDevice::~TCommDevice() = default;

std::string TCommDevice::DevicePath(const std::string& commName) {
    return "\\\\.\\" + commName;
}

TCommDevice::TOpenResult TCommDevice::Open(const std::string& commName,
                                           std::unique_ptr<TCommDevice>& device,
                                           TDeviceError& error) {
    error = {};
    auto impl = std::make_unique<TImpl>();
    impl->Device = THandle(::CreateFileW(Widen(DevicePath(commName)).c_str(),
                                         GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (!impl->Device) {
        error = LastDeviceError();
        return TOpenResult::CannotOpen;
    }
    const HANDLE handle = impl->Device.Get();
    // A character device that keeps no line state (NUL, a console) is no serial port either.
    DCB state{};
    state.DCBlength = sizeof state;
    if (::GetFileType(handle) != FILE_TYPE_CHAR || !::GetCommState(handle, &state)) {
        error = ErrorFromCode(ERROR_INVALID_FUNCTION);
        error.Kind = TDeviceError::TKind::NotTerminal;
        return TOpenResult::NotComm;
    }
    if (!::SetupComm(handle, QueueSize, QueueSize)) {
        error = LastDeviceError();
        return TOpenResult::QueueRefused;
    }

    impl->StopEvent = NewEvent(true, false);
    impl->InterruptEvent = NewEvent(true, false);
    impl->RetimeEvent = NewEvent(false, false);
    impl->ReadEvent = NewEvent(true, false);
    impl->WriteEvent = NewEvent(true, false);
    impl->LineEvent = NewEvent(true, false);
    if (!impl->StopEvent || !impl->InterruptEvent || !impl->RetimeEvent || !impl->ReadEvent ||
        !impl->WriteEvent || !impl->LineEvent) {
        error = LastDeviceError();
        return TOpenResult::NoStopSignal;
    }

    // Errors, carrier and ring; data arrive through reads only.
    impl->LineEventsRefused = !::SetCommMask(handle, EV_ERR | EV_RLSD | EV_RING);
    impl->ModemStatusWorks = ::GetCommModemStatus(handle, &impl->ModemStatus) != FALSE;
    impl->SetReadWait(0);
    // The reader's waits end to the millisecond, not at the next scheduler tick.
    impl->TimerPeriodSet = ::timeBeginPeriod(1) == TIMERR_NOERROR;

    device.reset(new TCommDevice(std::move(impl)));
    return TOpenResult::Opened;
}

void TCommDevice::TuneThread(TThreadRole role) {
    (void)::SetThreadPriority(::GetCurrentThread(), role == TThreadRole::Reader
                                                        ? THREAD_PRIORITY_HIGHEST
                                                        : THREAD_PRIORITY_ABOVE_NORMAL);
}

TStateResult TCommDevice::ApplyState(const TCommState& state) {
    const HANDLE handle = Impl->Device.Get();
    TStateResult result;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {
        result.Error = LastDeviceError();
        return result;
    }
    dcb.BaudRate = state.BaudRate;
    dcb.fBinary = 1;
    dcb.fParity = state.ParityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = state.OutxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = state.OutxDsrFlow ? 1 : 0;
    dcb.fDtrControl = static_cast<DWORD>(state.Dtr);
    dcb.fDsrSensitivity = state.DsrSensitivity ? 1 : 0;
    dcb.fTXContinueOnXoff = state.TxContinueOnXoff ? 1 : 0;
    dcb.fOutX = state.OutX ? 1 : 0;
    dcb.fInX = state.InX ? 1 : 0;
    dcb.fErrorChar = state.ErrorCharEnabled ? 1 : 0;
    dcb.fNull = state.DiscardNull ? 1 : 0;
    dcb.fRtsControl = static_cast<DWORD>(state.Rts);
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.XonLim = state.XonLim;
    dcb.XoffLim = state.XoffLim;
    dcb.ByteSize = state.ByteSize;
    dcb.Parity = state.Parity;
    dcb.StopBits = state.StopBits;
    dcb.XonChar = state.XonChar;
    dcb.XoffChar = state.XoffChar;
    dcb.ErrorChar = state.ErrorChar;
    // Refused settings leave the device as it was, as the caller expects.
    if (!::SetCommState(handle, &dcb))
        result.Error = LastDeviceError();
    // One rate for both directions; what the driver holds now. (A pseudo-terminal
    // under wine reports 0: it cannot tell.)
    DCB now{};
    now.DCBlength = sizeof now;
    if (::GetCommState(handle, &now)) {
        result.BaudRate = result.InputBaudRate = now.BaudRate;
        result.Parity = now.Parity;
        result.StopBits = now.StopBits;
    }
    return result;
}

void TCommDevice::ApplyTimeouts(const TCommTimeouts& timeouts) {
    {
        std::scoped_lock lock(Impl->TimeoutsMutex);
        Impl->Timeouts = timeouts;
        Impl->TimeoutsGeneration.fetch_add(1, std::memory_order_relaxed);
    }
    ::SetEvent(Impl->RetimeEvent.Get());
}

void TCommDevice::PurgeInput() {
    (void)::PurgeComm(Impl->Device.Get(), PURGE_RXABORT | PURGE_RXCLEAR);
}

void TCommDevice::PurgeOutput() {
    (void)::PurgeComm(Impl->Device.Get(), PURGE_TXABORT | PURGE_TXCLEAR);
}

void TCommDevice::Stop() {
    ::SetEvent(Impl->StopEvent.Get());
}

void TCommDevice::Interrupt() {
    ::SetEvent(Impl->InterruptEvent.Get());
}

void TCommDevice::ClearInterrupt() {
    ::ResetEvent(Impl->InterruptEvent.Get());
}

bool TCommDevice::NothingReceived() {
    // The queue first, then the reader: a reader that took bytes after the
    // first test has said so before it took them.
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(Impl->Device.Get(), &errors, &status))
        return false;
    if (errors != 0)
        Impl->ErrorsSeenElsewhere |= errors; // the reader reports them
    return status.cbInQue == 0 && !Impl->Taking.load();
}

std::size_t TCommDevice::ReadWaiting(std::span<char> into) {
    TImpl& impl = *Impl;
    DWORD queued = 0;
    impl.TakeErrors(queued, nullptr);
    if (queued == 0 || into.empty())
        return 0;
    // Only what waits is asked for, so the read completes at once.
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(queued, into.size()));
    OVERLAPPED record{};
    ::ResetEvent(impl.ReadEvent.Get());
    record.hEvent = impl.ReadEvent.Get();
    if (!::ReadFile(impl.Device.Get(), into.data(), ask, nullptr, &record) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return 0;
    (void)impl.Await(record, got, false, nullptr);
    return got;
}

TCommDevice::TIo TCommDevice::ReadBlock(std::span<char> block, std::size_t& received,
                                        const TLineEventSink& lineEvents) {
    TImpl& impl = *Impl;
    received = 0;
    FReadFailure = 0;
    impl.Taking = false;
    unsigned generation = 0;
    TReadRule rule(impl.TakeTimeouts(generation), block.size(), TClock::now());
    TClock::time_point nextLook = TClock::now() + LineEventPeriod;
    // The wait for one byte ended with it: what came with it is taken before
    // the rule is asked again, as a driver returns what its queue holds when
    // the time is up (and as the POSIX back end reads all that is there);
    // unless the block is already whole by its bytes, and the rest is the next one's.
    bool tookOnWait = false;

    for (;;) {
        if (!impl.Pause(0))
            return TIo::Stopped;
        if (::WaitForSingleObject(impl.InterruptEvent.Get(), 0) == WAIT_OBJECT_0)
            return TIo::Interrupted;
        impl.ArmLineEvents(lineEvents);
        if (impl.TimeoutsGeneration.load(std::memory_order_relaxed) != generation)
            rule.Retime(impl.TakeTimeouts(generation));

        DWORD queued = 0;
        impl.TakeErrors(queued, lineEvents);
        TClock::time_point now = TClock::now();
        if (impl.LineEventsRefused && now >= nextLook) {
            impl.LookAtModemLines(lineEvents);
            nextLook = now + LineEventPeriod;
        }
        const bool takeQueuedFirst = tookOnWait && queued > 0 && !rule.EndedByBytes();
        tookOnWait = false;
        if (!takeQueuedFirst && rule.Complete(now))
            return TIo::Done;

        // Bytes already queued are taken at once; otherwise one byte is waited
        // for, until the rule's deadline (or the next look at the line).
        std::optional<TClock::time_point> wakeAt = rule.Deadline();
        if (impl.LineEventsRefused && (!wakeAt || nextLook < *wakeAt))
            wakeAt = nextLook;
        const DWORD waitMs = wakeAt ? WaitMs(*wakeAt - now) : 0;
        impl.SetReadWait(waitMs);
        const std::size_t room = block.size() - received;
        const DWORD ask = queued > 0 ? static_cast<DWORD>(std::min<std::size_t>(queued, room)) : 1;

        // Bytes known to wait are counted as taken before the read takes them:
        // otherwise, for a moment, they would be neither in the queue nor
        // reported by the reader (NothingReceived looks at both).
        if (queued > 0)
            impl.Taking = true;
        const TClock::time_point started = TClock::now();
        DWORD got = 0;
        const TEnd end = impl.ReadOnce(block.data() + received, ask, got, lineEvents);
        const DWORD error = ::GetLastError(); // before anything else can change it
        impl.Taking = received + got > 0;
        tookOnWait = queued == 0 && got > 0;
        received += got;
        if (got > 0)
            rule.Received(block.first(received), TClock::now(), EndRule.load());
        if (end == TEnd::Stopped)
            return TIo::Stopped;
        if (end == TEnd::Interrupted)
            return TIo::Interrupted;
        if (end == TEnd::Failed) {
            FReadFailure = static_cast<int>(error);
            return TIo::Failed;
        }
        if (got == 0 && end == TEnd::Done) {
            // A read that came back empty before its time (a driver that does
            // not wait, or a purge) is not simply repeated: that would spin.
            const auto waited = TClock::now() - started;
            const auto asked = std::chrono::milliseconds(waitMs == 0 ? EmptyRetryMs : waitMs);
            if (waited + std::chrono::milliseconds(1) < asked &&
                !impl.Pause(std::min<DWORD>(EmptyRetryMs, WaitMs(asked - waited))))
                return TIo::Stopped;
        }
    }
}

TCommDevice::TIo TCommDevice::Write(std::span<const char> data) {
    TImpl& impl = *Impl;
    FWriteFailure = 0;
    std::size_t done = 0;
    while (done < data.size()) {
        if (!impl.Pause(0))
            return TIo::Stopped;
        OVERLAPPED record{};
        ::ResetEvent(impl.WriteEvent.Get());
        record.hEvent = impl.WriteEvent.Get();
        const DWORD count =
            static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 0x7FFFFFFF));
        DWORD written = 0;
        TEnd end = TEnd::Failed;
        if (::WriteFile(impl.Device.Get(), data.data() + done, count, nullptr, &record) ||
            ::GetLastError() == ERROR_IO_PENDING)
            end = impl.Await(record, written, false, nullptr);
        const DWORD error = ::GetLastError();
        if (end == TEnd::Stopped)
            return TIo::Stopped;
        if (end != TEnd::Done) {
            FWriteFailure = static_cast<int>(error);
            return TIo::Failed;
        }
        done += written;
        // A write time-out may end a write early; the rest follows, but not in a spin.
        if (written == 0 && !impl.Pause(EmptyRetryMs))
            return TIo::Stopped;
    }
    return TIo::Done;
}
