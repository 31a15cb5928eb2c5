#pragma once

#include "EComPort.h"
#include "TComLink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// The enumerations of the port-settings component. They live in this scope
/// so that they do not meet the serial link's own line-setting types; every
/// settings class derives from it, so `TComPort::TStopBits` reads naturally.
struct TComPortTypes {
    enum class TBaudRate : std::uint8_t {
        brCustom,
        br110,
        br300,
        br600,
        br1200,
        br2400,
        br4800,
        br9600,
        br14400,
        br19200,
        br38400,
        br56000,
        br57600,
        br115200,
        br128000,
        br256000
    };
    enum class TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
    enum class TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
    enum class TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
    enum class TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
    enum class TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
    enum class TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
    enum class TComEvent : std::uint8_t {
        evRxChar,
        evTxEmpty,
        evRxFlag,
        evRing,
        evBreak,
        evCTS,
        evDSR,
        evError,
        evRLSD,
        evRx80Full
    };
    enum class TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

    /// A set of line events.
    class TComEvents {
    public:
        static constexpr int Count = 10;
        constexpr TComEvents() = default;
        /// All ten events.
        static constexpr TComEvents All() {
            TComEvents events;
            events.FBits = (1u << Count) - 1;
            return events;
        }
        constexpr bool Contains(TComEvent event) const { return (FBits & Bit(event)) != 0; }
        constexpr void Include(TComEvent event) { FBits |= Bit(event); }
        constexpr void Exclude(TComEvent event) { FBits &= ~Bit(event); }
        constexpr bool Empty() const { return FBits == 0; }
        constexpr bool operator==(const TComEvents&) const = default;

    private:
        static constexpr std::uint16_t Bit(TComEvent event) {
            return static_cast<std::uint16_t>(1u << static_cast<unsigned>(event));
        }
        std::uint16_t FBits = 0;
    };

    /// The current state of the modem input lines.
    struct TModemLines {
        bool CTS = false;
        bool DSR = false;
        bool RLSD = false;
        bool Ring = false;
    };
};

/// Parity settings of a port.
class TComParity : public TComPortTypes {
public:
    TParityBits Bits() const { return FBits; }
    void SetBits(TParityBits bits) { FBits = bits; }
    bool Check() const { return FCheck; }
    void SetCheck(bool check) { FCheck = check; }
    bool Replace() const { return FReplace; }
    void SetReplace(bool replace) { FReplace = replace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetReplaceChar(char c) { FReplaceChar = c; }
    bool operator==(const TComParity&) const = default;

private:
    TParityBits FBits = TParityBits::prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = '\0';
};

/// Sizes of the driver's input and output queues, in bytes.
class TComBuffer {
public:
    int InputSize() const { return FInputSize; }
    void SetInputSize(int size) { FInputSize = size; }
    int OutputSize() const { return FOutputSize; }
    void SetOutputSize(int size) { FOutputSize = size; }
    bool operator==(const TComBuffer&) const = default;

private:
    int FInputSize = 1024;
    int FOutputSize = 1024;
};

/// Handshake settings of a port. FlowControl() summarises them.
class TComFlowControl : public TComPortTypes {
public:
    bool OutCTSFlow() const { return FOutCTSFlow; }
    void SetOutCTSFlow(bool on) { FOutCTSFlow = on; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    void SetOutDSRFlow(bool on) { FOutDSRFlow = on; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    void SetControlDTR(TDTRFlowControl control) { FControlDTR = control; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    void SetControlRTS(TRTSFlowControl control) { FControlRTS = control; }
    bool XonXoffOut() const { return FXonXoffOut; }
    void SetXonXoffOut(bool on) { FXonXoffOut = on; }
    bool XonXoffIn() const { return FXonXoffIn; }
    void SetXonXoffIn(bool on) { FXonXoffIn = on; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    void SetDSRSensitivity(bool on) { FDSRSensitivity = on; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    void SetTxContinueOnXoff(bool on) { FTxContinueOnXoff = on; }
    char XonChar() const { return FXonChar; }
    void SetXonChar(char c) { FXonChar = c; }
    char XoffChar() const { return FXoffChar; }
    void SetXoffChar(char c) { FXoffChar = c; }

    /// fcHardware: RTS/CTS handshake alone; fcSoftware: XON/XOFF both ways
    /// alone; fcNone: no handshake at all; fcCustom: any other mix.
    TFlowControl FlowControl() const;
    /// Sets the handshake fields for fcHardware, fcSoftware or fcNone; a
    /// handshake mode that is no longer wanted falls back to disabled.
    /// fcCustom changes nothing.
    void SetFlowControl(TFlowControl flow);

    bool operator==(const TComFlowControl&) const = default;

private:
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = TDTRFlowControl::dtrDisable;
    TRTSFlowControl FControlRTS = TRTSFlowControl::rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

/// Read and write time-outs, in the driver's terms (milliseconds).
class TComTimeouts {
public:
    int ReadInterval() const { return FReadInterval; }
    void SetReadInterval(int value) { FReadInterval = value; }
    int ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    void SetReadTotalMultiplier(int value) { FReadTotalMultiplier = value; }
    int ReadTotalConstant() const { return FReadTotalConstant; }
    void SetReadTotalConstant(int value) { FReadTotalConstant = value; }
    int WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    void SetWriteTotalMultiplier(int value) { FWriteTotalMultiplier = value; }
    int WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetWriteTotalConstant(int value) { FWriteTotalConstant = value; }
    bool operator==(const TComTimeouts&) const = default;

private:
    int FReadInterval = -1;
    int FReadTotalMultiplier = 0;
    int FReadTotalConstant = 0;
    int FWriteTotalMultiplier = 100;
    int FWriteTotalConstant = 1000;
};

class TCustomComPort;

/// A component that refers to a port and must hear when the port goes away.
class TComPortObserver {
public:
    /// Called from the port's destructor; the port may still be used for
    /// RemoveLink and RemoveFreeNotification, but nothing else.
    virtual void ComPortRemoved(TCustomComPort& Port) = 0;

protected:
    ~TComPortObserver() = default;
};

/// A serial port's settings, the links of the components attached to it and
/// the removal notices it owes them. This program never opens it: it holds
/// settings, Connected reads false, it owns no device or thread, and none of
/// its events fires. Use it on the window thread only.
class TCustomComPort : public TComPortTypes {
public:
    using TComNotifyEvent = std::function<void(TCustomComPort& Sender)>;
    using TRxBufEvent = std::function<void(TCustomComPort& Sender, const void* Buffer, int Count)>;
    using TComSignalEvent = std::function<void(TCustomComPort& Sender, bool OnOff)>;
    using TRxCharEvent = std::function<void(TCustomComPort& Sender, int Count)>;
    /// Errors is the set of line errors as the device reports them, one bit each.
    using TComErrorEvent = std::function<void(TCustomComPort& Sender, std::uint32_t Errors)>;

    TCustomComPort() = default;
    /// Sends every removal notice, in the order they were asked for, then
    /// drops the link list.
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    /// True only while a device is open; a settings holder never is.
    bool Connected() const { return FConnected; }

    /// An unchanged name (exact, case-sensitive comparison) is ignored.
    void SetPort(const std::string& name);
    const std::string& Port() const { return FPort; }

    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate rate) { FBaudRate = rate; }
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits bits) { FStopBits = bits; }
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits bits) { FDataBits = bits; }
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool discard) { FDiscardNull = discard; }
    char EventChar() const { return FEventChar; }
    void SetEventChar(char c) { FEventChar = c; }
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents events) { FEvents = events; }
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod method) { FSyncMethod = method; }

    /// The setting objects are owned by the port; assigning copies the values.
    TComParity& Parity() { return FParity; }
    const TComParity& Parity() const { return FParity; }
    void SetParity(const TComParity& parity) { FParity = parity; }
    TComBuffer& Buffer() { return FBuffer; }
    const TComBuffer& Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer& buffer) { FBuffer = buffer; }
    TComFlowControl& FlowControl() { return FFlowControl; }
    const TComFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl& flow) { FFlowControl = flow; }
    TComTimeouts& Timeouts() { return FTimeouts; }
    const TComTimeouts& Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts& timeouts) { FTimeouts = timeouts; }

    /// The modem input lines; all off while no device is open.
    virtual TModemLines ModemLines() const { return {}; }

    /// Appends `link`; raises EComPort code 18 when it is already registered.
    void AddLink(TComLink& link);
    /// Removes `link`; raises EComPort code 18 when it is not registered.
    void RemoveLink(TComLink& link);
    /// True when some registered link has LinkRxBuf set, as of the last
    /// AddLink or RemoveLink.
    bool HasRxBufLink() const { return FHasRxBufLink; }

    /// Asks for a removal notice when this port is destroyed; asking twice
    /// still gives one notice.
    void FreeNotification(TComPortObserver& observer);
    /// Withdraws a request; one that was never made is ignored.
    void RemoveFreeNotification(TComPortObserver& observer);

    /// Binds a component that follows this port: a removal notice for
    /// `observer`, then `link` registered.
    void Attach(TComLink& link, TComPortObserver& observer);
    /// Undoes Attach: `link` removed, then the removal notice withdrawn.
    void Detach(TComLink& link, TComPortObserver& observer);

    TComNotifyEvent OnAfterOpen;
    TComNotifyEvent OnAfterClose;
    TComNotifyEvent OnBeforeOpen;
    TComNotifyEvent OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TComNotifyEvent OnTxEmpty;
    TComNotifyEvent OnBreak;
    TComNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TComNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TComNotifyEvent OnRx80Full;

protected:
    /// For a device back end: records the new connection state and then calls
    /// LinkConn of every registered link, in list order.
    void ReportConnection(bool open);
    /// Calls `call` for every link registered now that is still registered
    /// when its turn comes, so a callback may remove links safely.
    void ForEachLink(const std::function<void(TComLink&)>& call);

private:
    void UpdateHasRxBufLink();

    bool FConnected = false;
    std::string FPort = "COM1";
    TBaudRate FBaudRate = TBaudRate::br9600;
    TStopBits FStopBits = TStopBits::sbOneStopBit;
    TDataBits FDataBits = TDataBits::dbEight;
    bool FDiscardNull = false;
    char FEventChar = '\0';
    TComEvents FEvents = TComEvents::All();
    TSyncMethod FSyncMethod = TSyncMethod::smThreadSync;
    TComParity FParity;
    TComBuffer FBuffer;
    TComFlowControl FFlowControl;
    TComTimeouts FTimeouts;

    std::vector<TComLink*> FLinks;
    bool FHasRxBufLink = false;
    std::vector<TComPortObserver*> FObservers;
};

/// The port-settings component as placed on a form.
class TComPort : public TCustomComPort {
public:
    TComPort() = default;
};
