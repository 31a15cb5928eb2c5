#include "TComPort.h"

#include <algorithm>

TComFlowControl::TFlowControl TComFlowControl::FlowControl() const {
    const bool rtsCts = FOutCTSFlow && FControlRTS == TRTSFlowControl::rtsHandshake;
    const bool dsrDtr = FOutDSRFlow || FControlDTR == TDTRFlowControl::dtrHandshake;
    const bool anyRtsCts = FOutCTSFlow || FControlRTS == TRTSFlowControl::rtsHandshake;
    const bool xonXoff = FXonXoffIn && FXonXoffOut;
    const bool anyXonXoff = FXonXoffIn || FXonXoffOut;
    if (rtsCts && !dsrDtr && !anyXonXoff)
        return TFlowControl::fcHardware;
    if (xonXoff && !anyRtsCts && !dsrDtr)
        return TFlowControl::fcSoftware;
    if (!anyRtsCts && !dsrDtr && !anyXonXoff)
        return TFlowControl::fcNone;
    return TFlowControl::fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl flow) {
    if (flow == TFlowControl::fcCustom)
        return;
    const bool hardware = flow == TFlowControl::fcHardware;
    const bool software = flow == TFlowControl::fcSoftware;
    FOutCTSFlow = hardware;
    FOutDSRFlow = false;
    if (FControlDTR == TDTRFlowControl::dtrHandshake)
        FControlDTR = TDTRFlowControl::dtrDisable;
    if (hardware)
        FControlRTS = TRTSFlowControl::rtsHandshake;
    else if (FControlRTS == TRTSFlowControl::rtsHandshake)
        FControlRTS = TRTSFlowControl::rtsDisable;
    FXonXoffIn = software;
    FXonXoffOut = software;
}

TCustomComPort::~TCustomComPort() {
    // A settings holder is never open, so there is nothing to close. Each
    // observer is taken off the list before its notice, so a notice that
    // withdraws other requests or removes links leaves the loop sound.
    FConnected = false;
    while (!FObservers.empty()) {
        TComPortObserver* observer = FObservers.front();
        FObservers.erase(FObservers.begin());
        observer->ComPortRemoved(*this);
    }
    FLinks.clear();
}

void TCustomComPort::SetPort(const std::string& name) {
    if (name == FPort)
        return;
    // An open port would be reopened on the new name here; this one never is.
    FPort = name;
}

void TCustomComPort::AddLink(TComLink& link) {
    if (std::find(FLinks.begin(), FLinks.end(), &link) != FLinks.end())
        throw EComPort(EComPort::LinkRegistrationFailed);
    FLinks.push_back(&link);
    UpdateHasRxBufLink();
}

void TCustomComPort::RemoveLink(TComLink& link) {
    const auto it = std::find(FLinks.begin(), FLinks.end(), &link);
    if (it == FLinks.end())
        throw EComPort(EComPort::LinkRegistrationFailed);
    FLinks.erase(it);
    UpdateHasRxBufLink();
}

void TCustomComPort::UpdateHasRxBufLink() {
    FHasRxBufLink = std::any_of(FLinks.begin(), FLinks.end(),
                                [](const TComLink* link) { return bool(link->LinkRxBuf); });
}

void TCustomComPort::FreeNotification(TComPortObserver& observer) {
    if (std::find(FObservers.begin(), FObservers.end(), &observer) == FObservers.end())
        FObservers.push_back(&observer);
}

void TCustomComPort::RemoveFreeNotification(TComPortObserver& observer) {
    std::erase(FObservers, &observer);
}

void TCustomComPort::Attach(TComLink& link, TComPortObserver& observer) {
    FreeNotification(observer);
    AddLink(link);
}

void TCustomComPort::Detach(TComLink& link, TComPortObserver& observer) {
    RemoveLink(link);
    RemoveFreeNotification(observer);
}

void TCustomComPort::ForEachLink(const std::function<void(TComLink&)>& call) {
    const std::vector<TComLink*> snapshot = FLinks;
    for (TComLink* link : snapshot) {
        // A callback may have removed (and freed) a later link meanwhile.
        if (std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end())
            call(*link);
    }
}

void TCustomComPort::ReportConnection(bool open) {
    FConnected = open;
    ForEachLink([this, open](TComLink& link) {
        if (link.LinkConn)
            link.LinkConn(*this, open);
    });
}
