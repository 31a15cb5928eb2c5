#pragma once

#include "TCommDevice.h"
#include "TNoticeQueue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

/// Raised by OpenPort when the device refuses its queue sizes.
class ECommsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TComm;
class TNotifyWindow;
class TReadThread;
class TWriteQueue;

using TReceiveDataEvent =
    std::function<void(TComm& Sender, const char* Buffer, std::uint16_t BufferLength)>;
/// Takes each received block on the reader's thread (TComm::SetBlockSink).
using TBlockSink = std::function<void(const char* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm& Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm& Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm& Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm& Sender)>;
/// Blocks the reader dropped while the window thread was too far behind, and
/// their bytes; raised once the window thread has caught up.
using TDataDroppedEvent =
    std::function<void(TComm& Sender, std::uint64_t Blocks, std::uint64_t Bytes)>;
/// Sees each configuration result of the device before the component keeps it.
using TStateResultFilter = std::function<void(const TCommState& asked, TStateResult& result)>;

/// Notification numbers posted by the reader and writer to the window thread.
inline constexpr unsigned WM_USER = 1024;
inline constexpr unsigned WM_COMM_DATA = WM_USER + 1;
inline constexpr unsigned WM_COMM_ERROR = WM_USER + 2;
inline constexpr unsigned WM_COMM_HANGUP = WM_USER + 3;
inline constexpr unsigned WM_COMM_MODEM = WM_USER + 4;
inline constexpr unsigned WM_COMM_SENT = WM_USER + 5;

/// One serial device with a reader and a writer thread of its own. Every event
/// is raised on the window thread, through the TNoticeQueue given at
/// construction. Construct, configure, open, close and destroy it on that
/// thread; SendBytes and DiscardInput may be called from any thread.
/// The notice queue must outlive the component.
class TComm {
public:
    enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
    enum class TRtsControl : std::uint8_t {
        RtsEnable,
        RtsDisable,
        RtsHandshake,
        RtsTransmissionAvailable
    };
    enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
    enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
    enum class TStopBits : std::uint8_t { _1, _1_5, _2 };

    explicit TComm(TNoticeQueue& windowQueue);
    ~TComm();
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    void OpenPort();
    void ClosePort();

    /// The system's reason why the last OpenPort failed; Kind None after a
    /// success, after ClosePort, and when no system call failed.
    const TDeviceError& OpenFailure() const { return FOpenFailure; }
    /// Why the link asked to be hung up, as the system said, for the
    /// OnRequestHangup in progress; empty when the system gave no reason.
    const TDeviceError& LinkFailure() const { return FLinkFailure; }
    /// The line settings as the device reported them after they were last
    /// applied (at OpenPort or on a change while open).
    const TStateResult& AppliedState() const { return FAppliedState; }
    /// The line settings as the component writes them into its device, open
    /// or not: what a user of the device itself needs to set it alike.
    TCommState DeviceState() const;
    /// Plays a driver that refuses or rounds settings: every later
    /// configuration result passes through `filter`. For tests.
    void SetStateResultFilter(TStateResultFilter filter) { StateResultFilter = std::move(filter); }
    /// Queues a private copy for the writer; true means queued, not sent.
    bool SendBytes(const void* data, std::uint16_t count);
    /// Any thread, like SendBytes: drops what the reader holds of an unfinished
    /// block and what waits in the device's input, and returns those bytes,
    /// oldest first, so that the next block starts clean. With `blockLength`
    /// the blocks after it have that length (at most InBufferSize) until the
    /// next such call or the next opening; InputLen is not changed. Nothing
    /// while the port is closed.
    std::vector<char> DiscardInput(std::optional<std::uint16_t> blockLength = std::nullopt);

    /// Window thread, open or closed: from the next bytes read on, a block also
    /// ends as soon as `rule` holds for what it has so far (before its length
    /// or gap); nullptr for none (the default).
    void SetBlockEndRule(TBlockEndRule rule);

    /// Window thread, while closed; takes effect at the next OpenPort. Every
    /// received block goes to `sink` on the reader's own thread, the moment it
    /// is complete, instead of travelling to the owning loop as OnReceiveData:
    /// a reply is then judged however busy that loop is. The sink must be
    /// quick, must not throw, and must stay valid until the port is closed.
    void SetBlockSink(TBlockSink sink);

    bool PortOpen() const;
    void SetPortOpen(bool open);
    std::uint8_t CommPort() const;
    void SetCommPort(std::uint8_t port);
    const std::string& PortOpenError() const;
    void SetPortOpenError(std::string text);
    const std::string& Output() const;
    void SetOutput(std::string text);
    std::uint16_t InputLen() const;
    void SetInputLen(std::uint16_t length);
    std::uint16_t InBufferSize() const;
    void SetInBufferSize(std::uint16_t size);
    const std::string& CommName() const;
    void SetCommName(std::string name);

    std::uint32_t BaudRate() const;
    void SetBaudRate(std::uint32_t rate);
    bool ParityCheck() const;
    void SetParityCheck(bool on);
    bool Outx_CtsFlow() const;
    void SetOutx_CtsFlow(bool on);
    bool Outx_DsrFlow() const;
    void SetOutx_DsrFlow(bool on);
    TDtrControl DtrControl() const;
    void SetDtrControl(TDtrControl control);
    bool DsrSensitivity() const;
    void SetDsrSensitivity(bool on);
    bool TxContinueOnXoff() const;
    void SetTxContinueOnXoff(bool on);
    bool Outx_XonXoffFlow() const;
    void SetOutx_XonXoffFlow(bool on);
    bool Inx_XonXoffFlow() const;
    void SetInx_XonXoffFlow(bool on);
    bool ReplaceWhenParityError() const;
    void SetReplaceWhenParityError(bool on);
    bool IgnoreNullChar() const;
    void SetIgnoreNullChar(bool on);
    TRtsControl RtsControl() const;
    void SetRtsControl(TRtsControl control);
    std::uint16_t XonLimit() const;
    void SetXonLimit(std::uint16_t limit);
    std::uint16_t XoffLimit() const;
    void SetXoffLimit(std::uint16_t limit);
    TByteSize ByteSize() const;
    void SetByteSize(TByteSize size);
    TParity Parity() const;
    void SetParity(TParity parity);
    TStopBits StopBits() const;
    void SetStopBits(TStopBits bits);
    char XonChar() const;
    void SetXonChar(char c);
    char XoffChar() const;
    void SetXoffChar(char c);
    char ReplacedChar() const;
    void SetReplacedChar(char c);

    std::uint32_t ReadIntervalTimeout() const;
    void SetReadIntervalTimeout(std::uint32_t ms);
    std::uint32_t ReadTotalTimeoutMultiplier() const;
    void SetReadTotalTimeoutMultiplier(std::uint32_t ms);
    std::uint32_t ReadTotalTimeoutConstant() const;
    void SetReadTotalTimeoutConstant(std::uint32_t ms);
    std::uint32_t WriteTotalTimeoutMultiplier() const;
    void SetWriteTotalTimeoutMultiplier(std::uint32_t ms);
    std::uint32_t WriteTotalTimeoutConstant() const;
    void SetWriteTotalTimeoutConstant(std::uint32_t ms);

    /// With RtsControl = RtsTransmissionAvailable the driver raises RTS while
    /// sending and drops it after the last bit, for an RS-485 transceiver;
    /// closing gives the port back its earlier RS-485 settings. Where the
    /// driver cannot, the port opens all the same and this says why, until the
    /// next OpenPort or ClosePort: set by the OpenPort that opened the port
    /// (or by a change of RtsControl while open), empty otherwise.
    const std::string& DirectionControlError() const { return FDirectionControlError; }
    /// Whether the driver drives RTS around each transmission now.
    bool Rs485Active() const;

    TReceiveDataEvent OnReceiveData;
    TNotifyEvent OnRequestHangup;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    /// Assign before OpenPort: the writer wakes the window thread for this
    /// notice only when a handler was there at the opening; otherwise the
    /// notice waits in order for the next one that wakes it.
    TSendDataEmptyEvent OnSendDataEmpty;
    TDataDroppedEvent OnDataDropped;

private:
    friend class TNotifyWindow;
    struct TLink;

    /// Window thread: one notice of the reader or writer.
    void NotifyWindowProc(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam);
    void DoReceiveData(const char* buffer, std::uint16_t length);
    void DoReceiveError(std::uint32_t flags);
    void DoModemStateChange(std::uint32_t bits);
    void DoRequestHangup();
    void DoSendDataEmpty();
    void DoDataDropped(std::uint64_t blocks, std::uint64_t bytes);

    void ApplyDeviceState();
    void ApplyTimeouts();
    void ApplyDirectionControl(bool toggle);
    /// Stores a line setting; the open device is touched only when it changed.
    template <class T> void SetState(T& field, T value);
    template <class T> void SetTimeout(T& field, T value);
    void StopThreads(TLink& link);

    std::shared_ptr<TNotifyWindow> NotifyWindow;
    std::unique_ptr<TLink> Link; // the open device and its threads; none while closed
    mutable std::mutex WriterMutex;
    std::shared_ptr<TWriteQueue> Writer; // guarded by WriterMutex: SendBytes runs on any thread
    std::mutex ReaderMutex;
    std::shared_ptr<TReadThread> Reader; // guarded by ReaderMutex: DiscardInput runs on any thread

    TDeviceError FOpenFailure;
    TDeviceError FLinkFailure;
    TStateResult FAppliedState;
    TStateResultFilter StateResultFilter;

    std::uint8_t FCommPort = 1;
    std::string FPortOpenError;
    std::string FDirectionControlError;
    std::string FOutput;
    std::uint16_t FInputLen = 1;
    std::uint16_t FInBufferSize = 2048;
    TBlockEndRule FBlockEndRule = nullptr;
    TBlockSink FBlockSink;
    std::string FCommName = "COM1";
    std::uint32_t FBaudRate = 9600;
    bool FParityCheck = false;
    bool FOutx_CtsFlow = false;
    bool FOutx_DsrFlow = false;
    TDtrControl FDtrControl = TDtrControl::DtrDisable;
    bool FDsrSensitivity = false;
    bool FTxContinueOnXoff = false;
    bool FOutx_XonXoffFlow = false;
    bool FInx_XonXoffFlow = false;
    bool FReplaceWhenParityError = false;
    bool FIgnoreNullChar = false;
    TRtsControl FRtsControl = TRtsControl::RtsDisable;
    std::uint16_t FXonLimit = 500;
    std::uint16_t FXoffLimit = 500;
    TByteSize FByteSize = TByteSize::_8;
    TParity FParity = TParity::None;
    TStopBits FStopBits = TStopBits::_1;
    char FXonChar = 17;
    char FXoffChar = 19;
    char FReplacedChar = 0;
    std::uint32_t FReadIntervalTimeout = 100;
    std::uint32_t FReadTotalTimeoutMultiplier = 0;
    std::uint32_t FReadTotalTimeoutConstant = 0;
    std::uint32_t FWriteTotalTimeoutMultiplier = 0;
    std::uint32_t FWriteTotalTimeoutConstant = 0;
};
