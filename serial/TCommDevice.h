#pragma once

#include "TLineEvents.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

/// Modem-line behaviour of DTR, numbered as the device state record numbers it.
enum class TDtrLine : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2 };
/// Modem-line behaviour of RTS; Toggle raises RTS only while sending.
enum class TRtsLine : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2, Toggle = 3 };

/// The line settings the component writes into its device. Numbering follows
/// the device state record: ByteSize 5 to 8, Parity 0 none, 1 odd, 2 even,
/// 3 mark, 4 space, StopBits 0 one, 1 one and a half, 2 two.
struct TCommState {
    std::uint32_t BaudRate = 9600;
    bool ParityCheck = false;
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    TDtrLine Dtr = TDtrLine::Disable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = false;
    bool OutX = false;
    bool InX = false;
    bool ErrorCharEnabled = false;
    bool DiscardNull = false;
    TRtsLine Rts = TRtsLine::Disable;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 17;
    char XoffChar = 19;
    char ErrorChar = 0;
};

/// Why a device call failed: the system's own code and text, mapped to the few
/// kinds a user can act on.
struct TDeviceError {
    enum class TKind : std::uint8_t {
        None,        ///< no failure
        NotFound,    ///< no such device (ENOENT, ENODEV, ENXIO; ERROR_FILE_NOT_FOUND)
        Busy,        ///< held by another opener (EBUSY, a held lock; ERROR_ACCESS_DENIED on a port)
        Permission,  ///< this user may not open it (EACCES, EPERM)
        NotTerminal, ///< opened, but not a serial device (ENOTTY; not FILE_TYPE_CHAR)
        Unsupported, ///< the device refused a setting (EINVAL)
        Other        ///< anything else; the system text says what
    };
    TKind Kind = TKind::None;
    /// errno, or GetLastError() on Windows; 0 when no system call failed.
    int Code = 0;
    /// The system's text for Code.
    std::string Text;
    /// Permission only: the group that owns the device, where the system has
    /// one; members of that group may open it.
    std::string Group;

    explicit operator bool() const { return Kind != TKind::None; }
};

/// What the device holds after the line settings have been applied, read back
/// from it. A rate of 0 means the device cannot tell.
struct TStateResult {
    std::uint32_t BaudRate = 0;      ///< output rate in force
    std::uint32_t InputBaudRate = 0; ///< input rate in force
    /// Parity and stop bits in force, numbered as in TCommState; none when the
    /// device cannot tell (a pseudo-terminal has no parity to tell of).
    std::optional<std::uint8_t> Parity;
    std::optional<std::uint8_t> StopBits;
    /// Set when the settings call itself failed; the device then keeps what it had.
    TDeviceError Error;
};

/// Says whether the bytes read so far of a block already form a whole frame;
/// called on the reader's thread with every new chunk, so it must be cheap and
/// thread-safe. A plain function, so it costs no allocation.
using TBlockEndRule = bool (*)(const char* data, std::size_t count);

/// Read and write time-outs in milliseconds; see TReadRule for what the read
/// time-outs mean.
struct TCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

/// One open serial device as the component and its two threads use it. The
/// declaration is portable; each operating system has its own implementation
/// file. Configuration calls come from the window thread, ReadBlock from the
/// reader, Write from the writer; Stop from any thread.
class TCommDevice {
public:
    enum class TOpenResult : std::uint8_t {
        Opened,
        CannotOpen,   ///< absent, no access, or held by another opener
        NotComm,      ///< opened, but not a serial (terminal) device
        QueueRefused, ///< the device refused its queue sizes
        NoStopSignal  ///< the stop signal could not be created
    };

    /// How a read or write ended.
    enum class TIo : std::uint8_t {
        Done,       ///< completed
        Stopped,    ///< Stop was called
        Failed,     ///< the device failed or vanished; it will not recover
        Interrupted ///< Interrupt was called; the bytes read so far are kept
    };

    enum class TThreadRole : std::uint8_t { Reader, Writer };

    /// Receives line errors and modem-line changes seen during a read.
    using TLineEventSink = std::function<void(const TLineEvent&)>;

    /// The path a port name opens.
    static std::string DevicePath(const std::string& commName);

    /// Opens `commName` exclusively, sets raw mode and input and output queues
    /// of 4096 bytes. `device` is set only on Opened; otherwise `error` says why
    /// (for NoStopSignal and QueueRefused as well, where the system says).
    static TOpenResult Open(const std::string& commName, std::unique_ptr<TCommDevice>& device,
                            TDeviceError& error);

    /// Gives the calling thread the priority and timer precision of its role;
    /// best effort.
    static void TuneThread(TThreadRole role);

    ~TCommDevice();
    TCommDevice(const TCommDevice&) = delete;
    TCommDevice& operator=(const TCommDevice&) = delete;

    /// Writes the line settings; what the device refuses is left as it was.
    /// Input and output run at the same rate. Returns what the device holds
    /// afterwards, read back from it.
    TStateResult ApplyState(const TCommState& state);
    /// Takes new time-outs; a read in progress follows them from its next byte on.
    void ApplyTimeouts(const TCommTimeouts& timeouts);
    /// Any thread: from the next bytes read on, a block also ends as soon as
    /// `rule` holds for what it has so far; nullptr for none.
    void SetBlockEndRule(TBlockEndRule rule) { EndRule.store(rule); }
    /// Discards pending input.
    void PurgeInput();
    /// Discards output not yet sent.
    void PurgeOutput();

    /// On: the driver raises RTS while sending and drops it after the last
    /// bit (RS-485 direction control). Off: the port gets back the RS-485
    /// settings it had before, as it does when the device is closed. 0 or the
    /// system's error number; a driver without RS-485 mode refuses.
    int SetRs485Direction(bool on);

    /// Wakes every ReadBlock and Write, present and future, with Stopped.
    void Stop();

    /// Any thread: ends the ReadBlock in progress, and every later one, with
    /// Interrupted until ClearInterrupt is called.
    void Interrupt();
    /// Reader: takes back Interrupt.
    void ClearInterrupt();
    /// Reader: reads what waits in the input queue now, without waiting, into
    /// `into`; returns the count.
    std::size_t ReadWaiting(std::span<char> into);
    /// Any thread: true only when nothing waits in the input queue and no
    /// ReadBlock holds bytes of a block it has begun, so that a discard would
    /// find nothing. False when in doubt.
    bool NothingReceived();

    /// Reads one block into `block` by the read rule: it completes when
    /// block.size() bytes have arrived or a time-out ends it (then it may hold
    /// fewer, even none). `received` is the count read, also on Failed and
    /// Interrupted (the bytes that came before); on Stopped they are to be dropped.
    TIo ReadBlock(std::span<char> block, std::size_t& received, const TLineEventSink& lineEvents);

    /// Writes all of `data`, continuing partial writes.
    TIo Write(std::span<const char> data);

    /// Reader: the system's error number (errno, GetLastError) of the last
    /// ReadBlock that ended Failed; 0 when the system gave none (end of file,
    /// a hang-up). Writer: the same for Write.
    int ReadFailure() const { return FReadFailure; }
    int WriteFailure() const { return FWriteFailure; }
    /// An error number of ReadFailure or WriteFailure as a device error.
    static TDeviceError ErrorOf(int code);

private:
    struct TImpl;
    explicit TCommDevice(std::unique_ptr<TImpl> impl);
    std::unique_ptr<TImpl> Impl;
    std::atomic<TBlockEndRule> EndRule{nullptr}; // read by ReadBlock at every chunk
    int FReadFailure = 0;                        // the reader's own
    int FWriteFailure = 0;                       // the writer's own
};
