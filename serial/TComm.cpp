#include "TComm.h"

#include "TCommDevice.h"
#include "TNotifyWindow.h"
#include "TReadThread.h"
#include "TWriteQueue.h"
#include "TWriteThread.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

/// What exists exactly while the port is open.
struct TComm::TLink {
    std::unique_ptr<TCommDevice> Device;
    std::shared_ptr<TWriteQueue> Queue;
    std::shared_ptr<TReadThread> Reader;
    std::unique_ptr<TWriteThread> Writer;
    bool Rs485Active = false;
    bool Rs485Refused = false; // asked once per opening: one notice, not one per setting change
};

namespace {

TDtrLine ToDevice(TComm::TDtrControl control) {
    switch (control) {
    case TComm::TDtrControl::DtrEnable:
        return TDtrLine::Enable;
    case TComm::TDtrControl::DtrHandshake:
        return TDtrLine::Handshake;
    case TComm::TDtrControl::DtrDisable:
        break;
    }
    return TDtrLine::Disable;
}

TRtsLine ToDevice(TComm::TRtsControl control) {
    switch (control) {
    case TComm::TRtsControl::RtsEnable:
        return TRtsLine::Enable;
    case TComm::TRtsControl::RtsHandshake:
        return TRtsLine::Handshake;
    case TComm::TRtsControl::RtsTransmissionAvailable:
        return TRtsLine::Toggle;
    case TComm::TRtsControl::RtsDisable:
        break;
    }
    return TRtsLine::Disable;
}

/// Why a thread could not be started, as far as the library says.
TDeviceError ThreadFailure(const std::exception& error) {
    TDeviceError failure;
    failure.Kind = TDeviceError::TKind::Other;
    failure.Text = error.what();
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        failure.Code = system->code().value();
    return failure;
}

} // namespace

TComm::TComm(TNoticeQueue& windowQueue)
    : NotifyWindow(std::make_shared<TNotifyWindow>(windowQueue, *this)) {}

TComm::~TComm() {
    // Threads must not outlive the component, and notices still queued for it
    // must find nobody at home.
    ClosePort();
    NotifyWindow->Detach();
}

void TComm::OpenPort() {
    FPortOpenError.clear();
    FDirectionControlError.clear(); // said once, by the call that opened the port
    if (Link) {
        FPortOpenError = "This serial port already opened";
        return;
    }
    FOpenFailure = {};

    std::unique_ptr<TCommDevice> device;
    switch (TCommDevice::Open(FCommName, device, FOpenFailure)) {
    case TCommDevice::TOpenResult::Opened:
        break;
    case TCommDevice::TOpenResult::CannotOpen:
        FPortOpenError = "Error opening serial port";
        return;
    case TCommDevice::TOpenResult::NotComm:
        FPortOpenError = "File handle is not a comm handle ";
        return;
    case TCommDevice::TOpenResult::QueueRefused:
        FPortOpenError = "Cannot setup comm buffer";
        throw ECommsError(FPortOpenError);
    case TCommDevice::TOpenResult::NoStopSignal:
        FPortOpenError = "Unable to create event";
        return;
    }

    auto link = std::make_unique<TLink>();
    link->Device = std::move(device);
    link->Queue = std::make_shared<TWriteQueue>();
    link->Device->PurgeInput();
    link->Device->PurgeOutput();
    link->Device->SetBlockEndRule(FBlockEndRule);
    Link = std::move(link);
    ApplyTimeouts();
    ApplyDeviceState();

    // The reader must never be asked for more than its buffer holds.
    const std::uint16_t blockLength = std::min(FInputLen, FInBufferSize);
    TCommDevice& openDevice = *Link->Device;
    try {
        Link->Reader = std::make_shared<TReadThread>(
            openDevice, NotifyWindow, blockLength, FInBufferSize,
            [queue = Link->Queue] { queue->Close(); }, FBlockSink);
    } catch (const std::exception& error) {
        Link.reset();
        FPortOpenError = "Unable to create read thread";
        FOpenFailure = ThreadFailure(error);
        return;
    }
    try {
        Link->Writer = std::make_unique<TWriteThread>(openDevice, NotifyWindow, Link->Queue,
                                                      static_cast<bool>(OnSendDataEmpty));
    } catch (const std::exception& error) {
        StopThreads(*Link);
        Link.reset();
        FPortOpenError = "Unable to create write thread";
        FOpenFailure = ThreadFailure(error);
        return;
    }
    {
        std::scoped_lock lock(ReaderMutex);
        Reader = Link->Reader;
    }
    std::scoped_lock lock(WriterMutex);
    Writer = Link->Queue;
}

void TComm::StopThreads(TLink& link) {
    // One stop signal wakes both threads at once; then each is joined.
    if (link.Reader)
        link.Reader->RequestStop();
    if (link.Writer)
        link.Writer->RequestStop();
    link.Device->Stop();
    link.Device->PurgeInput();
    if (link.Reader)
        link.Reader->Join();
    link.Device->PurgeOutput();
    if (link.Writer)
        link.Writer->Join();
    link.Reader.reset();
    link.Writer.reset();
}

void TComm::ClosePort() {
    FPortOpenError.clear();
    FOpenFailure = {};
    FDirectionControlError.clear();
    if (!Link)
        return;
    {
        std::scoped_lock lock(WriterMutex);
        Writer.reset();
    }
    {
        std::scoped_lock lock(ReaderMutex);
        Reader.reset();
    }
    Link->Queue->Close(); // queued output is discarded
    StopThreads(*Link);
    Link.reset(); // closes the device
}

bool TComm::SendBytes(const void* data, std::uint16_t count) {
    if (count == 0 || data == nullptr)
        return false;
    std::shared_ptr<TWriteQueue> queue;
    {
        std::scoped_lock lock(WriterMutex);
        queue = Writer;
    }
    if (!queue || queue->Closed())
        return false;
    TWriteItem item;
    item.Count = count;
    item.Copy.reset(new (std::nothrow) char[std::size_t{count} + 1]());
    if (!item.Copy)
        return false;
    std::memcpy(item.Copy.get(), data, count);
    return queue->Push(std::move(item));
}

std::vector<char> TComm::DiscardInput(std::optional<std::uint16_t> blockLength) {
    std::shared_ptr<TReadThread> reader;
    {
        std::scoped_lock lock(ReaderMutex);
        reader = Reader;
    }
    // A reader that ends meanwhile answers at once, and touches its device no more.
    return reader ? reader->DiscardInput(blockLength) : std::vector<char>{};
}

void TComm::SetBlockSink(TBlockSink sink) {
    FBlockSink = std::move(sink);
}

void TComm::SetBlockEndRule(TBlockEndRule rule) {
    FBlockEndRule = rule;
    if (Link)
        Link->Device->SetBlockEndRule(rule);
}

void TComm::NotifyWindowProc(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam) {
    switch (message) {
    case WM_COMM_DATA:
        DoReceiveData(reinterpret_cast<const char*>(lParam),
                      static_cast<std::uint16_t>(wParam & 0xFFFFu));
        break;
    case WM_COMM_ERROR:
        DoReceiveError(static_cast<std::uint32_t>(lParam));
        break;
    case WM_COMM_HANGUP:
        FLinkFailure =
            lParam != 0 ? TCommDevice::ErrorOf(static_cast<int>(lParam)) : TDeviceError{};
        DoRequestHangup();
        break;
    case WM_COMM_MODEM:
        DoModemStateChange(static_cast<std::uint32_t>(lParam));
        break;
    case WM_COMM_SENT:
        DoSendDataEmpty();
        break;
    default:
        break;
    }
}

void TComm::DoReceiveData(const char* buffer, std::uint16_t length) {
    if (OnReceiveData)
        OnReceiveData(*this, buffer, length);
}

void TComm::DoReceiveError(std::uint32_t flags) {
    if (OnReceiveError)
        OnReceiveError(*this, flags);
}

void TComm::DoModemStateChange(std::uint32_t bits) {
    if (OnModemStateChange)
        OnModemStateChange(*this, bits);
}

void TComm::DoRequestHangup() {
    if (OnRequestHangup)
        OnRequestHangup(*this);
}

void TComm::DoSendDataEmpty() {
    if (OnSendDataEmpty)
        OnSendDataEmpty(*this);
}

void TComm::DoDataDropped(std::uint64_t blocks, std::uint64_t bytes) {
    if (OnDataDropped)
        OnDataDropped(*this, blocks, bytes);
}

void TComm::ApplyDeviceState() {
    if (!Link)
        return;
    const TCommState state = DeviceState();
    TStateResult result = Link->Device->ApplyState(state);
    if (StateResultFilter)
        StateResultFilter(state, result);
    FAppliedState = std::move(result);
    ApplyDirectionControl(state.Rts == TRtsLine::Toggle);
}

TCommState TComm::DeviceState() const {
    TCommState state;
    state.BaudRate = FBaudRate;
    state.ParityCheck = FParityCheck;
    state.OutxCtsFlow = FOutx_CtsFlow;
    state.OutxDsrFlow = FOutx_DsrFlow;
    state.Dtr = ToDevice(FDtrControl);
    state.DsrSensitivity = FDsrSensitivity;
    state.TxContinueOnXoff = FTxContinueOnXoff;
    state.OutX = FOutx_XonXoffFlow;
    state.InX = FInx_XonXoffFlow;
    state.ErrorCharEnabled = FReplaceWhenParityError;
    state.DiscardNull = FIgnoreNullChar;
    state.Rts = ToDevice(FRtsControl);
    state.XonLim = FXonLimit;
    state.XoffLim = FXoffLimit;
    state.ByteSize = static_cast<std::uint8_t>(static_cast<unsigned>(FByteSize) + 5);
    state.Parity = static_cast<std::uint8_t>(FParity);
    state.StopBits = static_cast<std::uint8_t>(FStopBits);
    state.XonChar = FXonChar;
    state.XoffChar = FXoffChar;
    state.ErrorChar = FReplacedChar;
    return state;
}

void TComm::ApplyDirectionControl(bool toggle) {
    if (toggle && !Link->Rs485Active && !Link->Rs485Refused) {
        if (const int error = Link->Device->SetRs485Direction(true); error != 0) {
            Link->Rs485Refused = true;
            FDirectionControlError = "RS-485 direction control is not available on " + FCommName +
                                     ": " + std::generic_category().message(error);
        } else {
            Link->Rs485Active = true;
        }
    } else if (!toggle && Link->Rs485Active) {
        (void)Link->Device->SetRs485Direction(false);
        Link->Rs485Active = false;
    }
}

bool TComm::Rs485Active() const {
    return Link && Link->Rs485Active;
}

void TComm::ApplyTimeouts() {
    if (!Link)
        return;
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = FReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = FReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = FReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = FWriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = FWriteTotalTimeoutConstant;
    Link->Device->ApplyTimeouts(timeouts);
}

template <class T> void TComm::SetState(T& field, T value) {
    if (field == value)
        return;
    field = value;
    ApplyDeviceState();
}

template <class T> void TComm::SetTimeout(T& field, T value) {
    if (field == value)
        return;
    field = value;
    ApplyTimeouts();
}

bool TComm::PortOpen() const {
    return Link != nullptr;
}

void TComm::SetPortOpen(bool open) {
    if (open)
        OpenPort();
    else
        ClosePort();
}

std::uint8_t TComm::CommPort() const {
    return FCommPort;
}

void TComm::SetCommPort(std::uint8_t port) {
    if (port == 0 || port == FCommPort)
        return;
    FCommPort = port;
    FCommName = "COM" + std::to_string(port);
}

const std::string& TComm::PortOpenError() const {
    return FPortOpenError;
}
void TComm::SetPortOpenError(std::string text) {
    FPortOpenError = std::move(text);
}

const std::string& TComm::Output() const {
    return FOutput;
}

void TComm::SetOutput(std::string text) {
    FOutput = std::move(text);
    SendBytes(FOutput.data(), static_cast<std::uint16_t>(FOutput.size()));
}

std::uint16_t TComm::InputLen() const {
    return FInputLen;
}

void TComm::SetInputLen(std::uint16_t length) {
    if (length == 0)
        FInputLen = FInBufferSize;
    else if (length <= FInBufferSize)
        FInputLen = length;
}

std::uint16_t TComm::InBufferSize() const {
    return FInBufferSize;
}

void TComm::SetInBufferSize(std::uint16_t size) {
    FInBufferSize = size == 0 ? 1 : size;
}

const std::string& TComm::CommName() const {
    return FCommName;
}
void TComm::SetCommName(std::string name) {
    FCommName = std::move(name);
}

std::uint32_t TComm::BaudRate() const {
    return FBaudRate;
}
void TComm::SetBaudRate(std::uint32_t rate) {
    SetState(FBaudRate, rate);
}
bool TComm::ParityCheck() const {
    return FParityCheck;
}
void TComm::SetParityCheck(bool on) {
    SetState(FParityCheck, on);
}
bool TComm::Outx_CtsFlow() const {
    return FOutx_CtsFlow;
}
void TComm::SetOutx_CtsFlow(bool on) {
    SetState(FOutx_CtsFlow, on);
}
bool TComm::Outx_DsrFlow() const {
    return FOutx_DsrFlow;
}
void TComm::SetOutx_DsrFlow(bool on) {
    SetState(FOutx_DsrFlow, on);
}
TComm::TDtrControl TComm::DtrControl() const {
    return FDtrControl;
}
void TComm::SetDtrControl(TDtrControl control) {
    SetState(FDtrControl, control);
}
bool TComm::DsrSensitivity() const {
    return FDsrSensitivity;
}
void TComm::SetDsrSensitivity(bool on) {
    SetState(FDsrSensitivity, on);
}
bool TComm::TxContinueOnXoff() const {
    return FTxContinueOnXoff;
}
void TComm::SetTxContinueOnXoff(bool on) {
    SetState(FTxContinueOnXoff, on);
}
bool TComm::Outx_XonXoffFlow() const {
    return FOutx_XonXoffFlow;
}
void TComm::SetOutx_XonXoffFlow(bool on) {
    SetState(FOutx_XonXoffFlow, on);
}
bool TComm::Inx_XonXoffFlow() const {
    return FInx_XonXoffFlow;
}
void TComm::SetInx_XonXoffFlow(bool on) {
    SetState(FInx_XonXoffFlow, on);
}
bool TComm::ReplaceWhenParityError() const {
    return FReplaceWhenParityError;
}
void TComm::SetReplaceWhenParityError(bool on) {
    SetState(FReplaceWhenParityError, on);
}
bool TComm::IgnoreNullChar() const {
    return FIgnoreNullChar;
}
void TComm::SetIgnoreNullChar(bool on) {
    SetState(FIgnoreNullChar, on);
}
TComm::TRtsControl TComm::RtsControl() const {
    return FRtsControl;
}
void TComm::SetRtsControl(TRtsControl control) {
    SetState(FRtsControl, control);
}
std::uint16_t TComm::XonLimit() const {
    return FXonLimit;
}
void TComm::SetXonLimit(std::uint16_t limit) {
    SetState(FXonLimit, limit);
}
std::uint16_t TComm::XoffLimit() const {
    return FXoffLimit;
}
void TComm::SetXoffLimit(std::uint16_t limit) {
    SetState(FXoffLimit, limit);
}
TComm::TByteSize TComm::ByteSize() const {
    return FByteSize;
}
void TComm::SetByteSize(TByteSize size) {
    SetState(FByteSize, size);
}
TComm::TParity TComm::Parity() const {
    return FParity;
}
void TComm::SetParity(TParity parity) {
    SetState(FParity, parity);
}
TComm::TStopBits TComm::StopBits() const {
    return FStopBits;
}
void TComm::SetStopBits(TStopBits bits) {
    SetState(FStopBits, bits);
}
char TComm::XonChar() const {
    return FXonChar;
}
void TComm::SetXonChar(char c) {
    SetState(FXonChar, c);
}
char TComm::XoffChar() const {
    return FXoffChar;
}
void TComm::SetXoffChar(char c) {
    SetState(FXoffChar, c);
}
char TComm::ReplacedChar() const {
    return FReplacedChar;
}
void TComm::SetReplacedChar(char c) {
    SetState(FReplacedChar, c);
}

std::uint32_t TComm::ReadIntervalTimeout() const {
    return FReadIntervalTimeout;
}
void TComm::SetReadIntervalTimeout(std::uint32_t ms) {
    SetTimeout(FReadIntervalTimeout, ms);
}
std::uint32_t TComm::ReadTotalTimeoutMultiplier() const {
    return FReadTotalTimeoutMultiplier;
}
void TComm::SetReadTotalTimeoutMultiplier(std::uint32_t ms) {
    SetTimeout(FReadTotalTimeoutMultiplier, ms);
}
std::uint32_t TComm::ReadTotalTimeoutConstant() const {
    return FReadTotalTimeoutConstant;
}
void TComm::SetReadTotalTimeoutConstant(std::uint32_t ms) {
    SetTimeout(FReadTotalTimeoutConstant, ms);
}
std::uint32_t TComm::WriteTotalTimeoutMultiplier() const {
    return FWriteTotalTimeoutMultiplier;
}
void TComm::SetWriteTotalTimeoutMultiplier(std::uint32_t ms) {
    SetTimeout(FWriteTotalTimeoutMultiplier, ms);
}
std::uint32_t TComm::WriteTotalTimeoutConstant() const {
    return FWriteTotalTimeoutConstant;
}
void TComm::SetWriteTotalTimeoutConstant(std::uint32_t ms) {
    SetTimeout(FWriteTotalTimeoutConstant, ms);
}
