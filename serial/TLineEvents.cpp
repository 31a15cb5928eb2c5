#include "TLineEvents.h"

TLineEvent CompareLineCounters(const TLineCounters& before, const TLineCounters& after) {
    TLineEvent event;
    // Counters only grow (and wrap), so any difference means new events.
    const auto flag = [&event](std::uint32_t was, std::uint32_t is, std::uint32_t bit) {
        if (was != is)
            event.ErrorFlags |= bit;
    };
    flag(before.BufferOverrun, after.BufferOverrun, CommErrorRxOver);
    flag(before.Overrun, after.Overrun, CommErrorOverrun);
    flag(before.Parity, after.Parity, CommErrorRxParity);
    flag(before.Frame, after.Frame, CommErrorFrame);
    flag(before.Break, after.Break, CommErrorBreak);
    event.Error = event.ErrorFlags != 0;
    if (before.Carrier != after.Carrier)
        event.Modem |= ModemCarrierChanged;
    if (before.Ring != after.Ring)
        event.Modem |= ModemRing;
    return event;
}
