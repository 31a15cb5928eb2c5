#pragma once

#include "TComPort.h"

#include <functional>
#include <string>

/// Cuts the bytes a port receives into packets: a packet begins with
/// StartString (or at once when it is empty) and ends after Size bytes when
/// Size > 0, otherwise with StopString, otherwise with the received block.
/// OnCustomStart and OnCustomStop, when assigned, decide instead. Bytes that
/// belong to no packet are reported through OnDiscard, as is a buffer that
/// outgrows MaxBufferSize without completing a packet.
class TComDataPacket : private TComPortObserver {
public:
    using TPacketEvent = std::function<void(TComDataPacket& Sender, const std::string& Str)>;
    /// Str is the buffered text; Pos comes in as -1 and is set to the start
    /// index (start) or the packet's length counted from its start (stop).
    using TCustomPosEvent =
        std::function<void(TComDataPacket& Sender, const std::string& Str, int& Pos)>;

    TComDataPacket();
    /// Removes the link from a bound port.
    ~TComDataPacket();
    TComDataPacket(const TComDataPacket&) = delete;
    TComDataPacket& operator=(const TComDataPacket&) = delete;

    /// Registers the link with `port` (removing it from the old one) and asks
    /// it for a removal notice.
    void SetComPort(TCustomComPort* port);
    TCustomComPort* ComPort() const { return FComPort; }

    bool CaseInsensitive() const { return FCaseInsensitive; }
    void SetCaseInsensitive(bool on) { FCaseInsensitive = on; }
    /// Whether a packet is delivered with its start and stop strings.
    bool IncludeStrings() const { return FIncludeStrings; }
    void SetIncludeStrings(bool on) { FIncludeStrings = on; }
    int MaxBufferSize() const { return FMaxBufferSize; }
    void SetMaxBufferSize(int size) { FMaxBufferSize = size; }
    const std::string& StartString() const { return FStartString; }
    void SetStartString(const std::string& s);
    const std::string& StopString() const { return FStopString; }
    void SetStopString(const std::string& s);
    /// Bytes of a packet after its start string; 0 means "ended by StopString".
    int Size() const { return FSize; }
    void SetSize(int size);

    /// Feeds received bytes, as the link does.
    void AddData(const std::string& data);
    /// Drops buffered bytes without reporting them.
    void ResetBuffer();

    TPacketEvent OnDiscard;
    TPacketEvent OnPacket;
    TCustomPosEvent OnCustomStart;
    TCustomPosEvent OnCustomStop;

    /// The link this component registers with its port.
    const TComLink& Link() const { return FLink; }

private:
    void ComPortRemoved(TCustomComPort& Port) override;
    std::size_t Find(const std::string& what, std::size_t from) const;
    void Discard(std::size_t count);
    bool TakePacket();

    TCustomComPort* FComPort = nullptr;
    TComLink FLink;
    bool FCaseInsensitive = false;
    bool FIncludeStrings = false;
    int FMaxBufferSize = 1024;
    std::string FStartString;
    std::string FStopString;
    int FSize = 0;
    std::string FBuffer;
    bool FInPacket = false;
};
