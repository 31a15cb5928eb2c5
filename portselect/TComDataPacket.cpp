#include "TComDataPacket.h"

#include <algorithm>
#include <cctype>

TComDataPacket::TComDataPacket() {
    FLink.LinkRxBuf = [this](TCustomComPort&, const void* buffer, int count) {
        if (buffer != nullptr && count > 0)
            AddData(std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
    };
}

TComDataPacket::~TComDataPacket() {
    SetComPort(nullptr);
}

void TComDataPacket::SetComPort(TCustomComPort* port) {
    if (port == FComPort)
        return;
    if (FComPort != nullptr)
        FComPort->Detach(FLink, *this);
    FComPort = port;
    if (FComPort != nullptr)
        FComPort->Attach(FLink, *this);
}

void TComDataPacket::ComPortRemoved(TCustomComPort& Port) {
    if (&Port == FComPort)
        SetComPort(nullptr);
}

void TComDataPacket::SetStartString(const std::string& s) {
    FStartString = s;
    ResetBuffer();
}

void TComDataPacket::SetStopString(const std::string& s) {
    FStopString = s;
    ResetBuffer();
}

void TComDataPacket::SetSize(int size) {
    FSize = std::max(0, size);
    ResetBuffer();
}

void TComDataPacket::ResetBuffer() {
    FBuffer.clear();
    FInPacket = false;
}

std::size_t TComDataPacket::Find(const std::string& what, std::size_t from) const {
    if (from > FBuffer.size())
        return std::string::npos;
    if (!FCaseInsensitive)
        return FBuffer.find(what, from);
    const auto fold = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    const auto it = std::search(FBuffer.begin() + static_cast<std::ptrdiff_t>(from), FBuffer.end(),
                                what.begin(), what.end(), fold);
    return it == FBuffer.end() && !what.empty() ? std::string::npos
                                                : static_cast<std::size_t>(it - FBuffer.begin());
}

void TComDataPacket::Discard(std::size_t count) {
    count = std::min(count, FBuffer.size());
    if (count == 0)
        return;
    const std::string dropped = FBuffer.substr(0, count);
    FBuffer.erase(0, count);
    if (OnDiscard)
        OnDiscard(*this, dropped);
}

void TComDataPacket::AddData(const std::string& data) {
    FBuffer += data;
    bool progress = true;
    while (progress && !FBuffer.empty())
        progress = TakePacket();
    if (FMaxBufferSize > 0 && FBuffer.size() > static_cast<std::size_t>(FMaxBufferSize)) {
        // No packet can complete within the limit: give up on what is held.
        Discard(FBuffer.size());
        FInPacket = false;
    }
}

// Finds the start of a packet (if none is open), then its end; true when a
// packet was delivered and the rest of the buffer may hold another.
bool TComDataPacket::TakePacket() {
    if (!FInPacket) {
        std::size_t start = 0;
        if (OnCustomStart) {
            int pos = -1;
            OnCustomStart(*this, FBuffer, pos);
            if (pos < 0)
                return false;
            start = static_cast<std::size_t>(pos);
        } else if (!FStartString.empty()) {
            start = Find(FStartString, 0);
            if (start == std::string::npos) {
                // Keep only a tail that may still grow into the start string.
                Discard(FBuffer.size() - std::min(FBuffer.size(), FStartString.size() - 1));
                return false;
            }
        }
        Discard(start);
        FInPacket = true;
    }

    const std::size_t head = OnCustomStart ? 0 : std::min(FStartString.size(), FBuffer.size());
    std::size_t end = std::string::npos; // one past the packet, stop string included
    std::size_t tail = 0;                // length of the stop string inside it
    if (OnCustomStop) {
        int pos = -1;
        OnCustomStop(*this, FBuffer, pos);
        if (pos >= 0)
            end = std::min(static_cast<std::size_t>(pos), FBuffer.size());
    } else if (FSize > 0) {
        if (FBuffer.size() >= head + static_cast<std::size_t>(FSize))
            end = head + static_cast<std::size_t>(FSize);
    } else if (!FStopString.empty()) {
        const std::size_t stop = Find(FStopString, head);
        if (stop != std::string::npos) {
            end = stop + FStopString.size();
            tail = FStopString.size();
        }
    } else if (FBuffer.size() > head) {
        end = FBuffer.size();
    }
    if (end == std::string::npos || end == 0)
        return false;

    std::string packet = FBuffer.substr(0, end);
    FBuffer.erase(0, end);
    FInPacket = false;
    if (!FIncludeStrings && !OnCustomStart && !OnCustomStop)
        packet = packet.substr(head, packet.size() - head - tail);
    if (OnPacket)
        OnPacket(*this, packet);
    return true;
}
