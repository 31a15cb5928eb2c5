#pragma once

#include <functional>

class TCustomComPort;

/// Called with (Sender, OnOff) when a line or a condition changes.
using TComLinkSignal = std::function<void(TCustomComPort& Sender, bool OnOff)>;
/// Called with (Sender, Buffer, Count) for a block of bytes.
using TComLinkData = std::function<void(TCustomComPort& Sender, const void* Buffer, int Count)>;
/// Called with (Sender) for a plain notification.
using TComLinkNotify = std::function<void(TCustomComPort& Sender)>;

/// How another component attaches to a port: eleven optional callbacks, any
/// of which may be empty. The component that registers a link creates and
/// frees it; the port only keeps its address, which is also its identity.
class TComLink {
public:
    TComLink() = default;
    TComLink(const TComLink&) = delete;
    TComLink& operator=(const TComLink&) = delete;

    TComLinkSignal LinkConn;    ///< the port was opened (true) or closed (false)
    TComLinkData LinkRxBuf;     ///< a block was received
    TComLinkData LinkTxBuf;     ///< a block was sent
    TComLinkNotify LinkTxEmpty; ///< the transmit buffer ran empty
    TComLinkNotify LinkRxFlag;  ///< the event character was received
    TComLinkSignal LinkCTS;     ///< the CTS line changed
    TComLinkSignal LinkDSR;     ///< the DSR line changed
    TComLinkSignal LinkRLSD;    ///< the RLSD line changed
    TComLinkNotify LinkRing;    ///< a ring indication arrived
    TComLinkSignal LinkTx;      ///< sending started or stopped
    TComLinkSignal LinkRx;      ///< receiving started or stopped
};
