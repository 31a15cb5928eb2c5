#include "TRs485.h"

namespace {

TRs485AccessFactory& Factory() {
    static TRs485AccessFactory factory;
    return factory;
}

} // namespace

void SetRs485AccessFactory(TRs485AccessFactory factory) {
    Factory() = std::move(factory);
}

const TRs485AccessFactory& Rs485AccessFactory() {
    return Factory();
}

int TRs485Direction::Enable(TRs485Access& access) {
    TRs485Settings current;
    if (const int error = access.Get(current); error != 0)
        return error;
    if (!FSaved)
        FSaved = current;
    TRs485Settings wanted = current;
    wanted.Flags |= TRs485Settings::Enabled | TRs485Settings::RtsOnSend;
    wanted.Flags &= ~(TRs485Settings::RtsAfterSend | TRs485Settings::RxDuringTx);
    // A Modbus slave may answer 3.5 characters after the request: the line
    // must be free at once, so ask for no delay and take what the driver gives.
    wanted.DelayRtsBeforeSendMs = 0;
    wanted.DelayRtsAfterSendMs = 0;
    if (const int error = access.Set(wanted); error != 0)
        return error;
    FApplied = wanted;
    FActive = true;
    return 0;
}

void TRs485Direction::Restore(TRs485Access& access) {
    if (!FActive || !FSaved)
        return;
    TRs485Settings previous = *FSaved;
    (void)access.Set(previous); // best effort: the port is being let go
    FActive = false;
}
