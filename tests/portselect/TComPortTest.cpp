#include "TComPort.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using T = TComPortTypes;

/// A port whose connection can be reported, as a device back end would.
class TTestPort : public TComPort {
public:
    using TCustomComPort::ReportConnection;
    int LinkCount() {
        int count = 0;
        ForEachLink([&count](TComLink&) { ++count; });
        return count;
    }
};

/// Records removal notices and runs an optional action inside the notice.
class TObserver : public TComPortObserver {
public:
    explicit TObserver(std::vector<std::string>& log, std::string name)
        : Log(log), Name(std::move(name)) {}
    void ComPortRemoved(TCustomComPort& Port) override {
        Log.push_back(Name);
        if (Action)
            Action(Port);
    }
    std::vector<std::string>& Log;
    std::string Name;
    std::function<void(TCustomComPort&)> Action;
};

void ExpectCode18(const std::function<void()>& call) {
    try {
        call();
        FAIL() << "EComPort expected";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 18);
        EXPECT_EQ(e.SystemCode(), -1);
        EXPECT_STREQ(e.what(), "Link (un)registration failed");
    }
}

} // namespace

TEST(TComPort, StartsWithTheSettingsOfAClosedNinetySixHundredBaudPort) {
    const TComPort port;
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), T::TBaudRate::br9600);
    EXPECT_EQ(port.StopBits(), T::TStopBits::sbOneStopBit);
    EXPECT_EQ(port.DataBits(), T::TDataBits::dbEight);
    EXPECT_FALSE(port.DiscardNull());
    EXPECT_EQ(port.EventChar(), '\0');
    EXPECT_EQ(port.SyncMethod(), T::TSyncMethod::smThreadSync);
    for (int e = 0; e < T::TComEvents::Count; ++e)
        EXPECT_TRUE(port.Events().Contains(static_cast<T::TComEvent>(e))) << e;

    EXPECT_EQ(port.Parity().Bits(), T::TParityBits::prNone);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_FALSE(port.Parity().Replace());
    EXPECT_EQ(port.Parity().ReplaceChar(), '\0');
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Buffer().OutputSize(), 1024);

    const TComFlowControl& flow = port.FlowControl();
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_FALSE(flow.OutDSRFlow());
    EXPECT_EQ(flow.ControlDTR(), T::TDTRFlowControl::dtrDisable);
    EXPECT_EQ(flow.ControlRTS(), T::TRTSFlowControl::rtsDisable);
    EXPECT_FALSE(flow.XonXoffOut());
    EXPECT_FALSE(flow.XonXoffIn());
    EXPECT_FALSE(flow.DSRSensitivity());
    EXPECT_FALSE(flow.TxContinueOnXoff());
    EXPECT_EQ(flow.XonChar(), 17);
    EXPECT_EQ(flow.XoffChar(), 19);
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcNone);

    const TComTimeouts& timeouts = port.Timeouts();
    EXPECT_EQ(timeouts.ReadInterval(), -1);
    EXPECT_EQ(timeouts.ReadTotalMultiplier(), 0);
    EXPECT_EQ(timeouts.ReadTotalConstant(), 0);
    EXPECT_EQ(timeouts.WriteTotalMultiplier(), 100);
    EXPECT_EQ(timeouts.WriteTotalConstant(), 1000);

    EXPECT_FALSE(port.HasRxBufLink());
    EXPECT_FALSE(port.ModemLines().CTS || port.ModemLines().DSR || port.ModemLines().RLSD ||
                 port.ModemLines().Ring);
    EXPECT_FALSE(port.OnAfterOpen || port.OnRxBuf || port.OnCTSChange || port.OnError);
}

TEST(TComPort, PortStoresEveryNewNameComparedWithCase) {
    TComPort port;
    port.SetPort("com1");
    EXPECT_EQ(port.Port(), "com1");
    port.SetPort("ttyUSB0");
    EXPECT_EQ(port.Port(), "ttyUSB0");
    port.SetPort("ttyUSB0");
    EXPECT_EQ(port.Port(), "ttyUSB0");
    EXPECT_FALSE(port.Connected());
}

TEST(TComPort, SettingObjectsAreCopiedOnAssignment) {
    TComPort port;
    TComParity parity;
    parity.SetBits(T::TParityBits::prEven);
    parity.SetReplaceChar('?');
    port.SetParity(parity);
    parity.SetBits(T::TParityBits::prOdd);
    EXPECT_EQ(port.Parity().Bits(), T::TParityBits::prEven);
    EXPECT_EQ(port.Parity().ReplaceChar(), '?');
}

TEST(TComPort, FlowControlSummarisesAndSetsTheHandshakes) {
    TComFlowControl flow;
    flow.SetFlowControl(T::TFlowControl::fcHardware);
    EXPECT_TRUE(flow.OutCTSFlow());
    EXPECT_EQ(flow.ControlRTS(), T::TRTSFlowControl::rtsHandshake);
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcHardware);

    flow.SetFlowControl(T::TFlowControl::fcSoftware);
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_EQ(flow.ControlRTS(), T::TRTSFlowControl::rtsDisable);
    EXPECT_TRUE(flow.XonXoffIn() && flow.XonXoffOut());
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcSoftware);

    flow.SetXonXoffIn(false);
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcCustom);
    flow.SetFlowControl(T::TFlowControl::fcCustom);
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcCustom);

    flow.SetControlDTR(T::TDTRFlowControl::dtrHandshake);
    flow.SetFlowControl(T::TFlowControl::fcNone);
    EXPECT_EQ(flow.ControlDTR(), T::TDTRFlowControl::dtrDisable);
    EXPECT_FALSE(flow.XonXoffIn() || flow.XonXoffOut() || flow.OutCTSFlow());
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcNone);

    // Asserted lines without handshake are still no flow control.
    flow.SetControlDTR(T::TDTRFlowControl::dtrEnable);
    flow.SetControlRTS(T::TRTSFlowControl::rtsEnable);
    EXPECT_EQ(flow.FlowControl(), T::TFlowControl::fcNone);
}

TEST(TComPort, LinkRegisteredTwiceOrRemovedUnregisteredRaisesCode18AndKeepsTheList) {
    TTestPort port;
    TComLink first;
    TComLink second;
    first.LinkRxBuf = [](TCustomComPort&, const void*, int) {};
    port.AddLink(first);
    ExpectCode18([&] { port.AddLink(first); });
    EXPECT_EQ(port.LinkCount(), 1);
    EXPECT_TRUE(port.HasRxBufLink());

    ExpectCode18([&] { port.RemoveLink(second); });
    EXPECT_EQ(port.LinkCount(), 1);

    port.RemoveLink(first);
    EXPECT_EQ(port.LinkCount(), 0);
    ExpectCode18([&] { port.RemoveLink(first); });
}

TEST(TComPort, HasRxBufLinkFollowsTheRegisteredLinks) {
    TComPort port;
    TComLink plain;
    TComLink reader;
    plain.LinkConn = [](TCustomComPort&, bool) {};
    reader.LinkRxBuf = [](TCustomComPort&, const void*, int) {};
    port.AddLink(plain);
    EXPECT_FALSE(port.HasRxBufLink());
    port.AddLink(reader);
    EXPECT_TRUE(port.HasRxBufLink());
    port.RemoveLink(plain);
    EXPECT_TRUE(port.HasRxBufLink());
    port.RemoveLink(reader);
    EXPECT_FALSE(port.HasRxBufLink());
}

TEST(TComPort, ConnectionNoticesReachEveryLinkInListOrder) {
    TTestPort port;
    std::vector<std::string> calls;
    TComLink a;
    TComLink b;
    TComLink silent; // a link without LinkConn is skipped
    a.LinkConn = [&](TCustomComPort& sender, bool on) {
        EXPECT_EQ(&sender, &port);
        calls.push_back(std::string("a") + (on ? "1" : "0"));
    };
    b.LinkConn = [&](TCustomComPort&, bool on) {
        calls.push_back(std::string("b") + (on ? "1" : "0"));
    };
    port.AddLink(b);
    port.AddLink(silent);
    port.AddLink(a);
    port.ReportConnection(true);
    EXPECT_TRUE(port.Connected());
    port.ReportConnection(false);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(calls, (std::vector<std::string>{"b1", "a1", "b0", "a0"}));
}

TEST(TComPort, ALinkRemovedByAnEarlierCallbackIsNotCalled) {
    TTestPort port;
    auto later = std::make_unique<TComLink>();
    int laterCalls = 0;
    later->LinkConn = [&](TCustomComPort&, bool) { ++laterCalls; };
    TComLink first;
    first.LinkConn = [&](TCustomComPort& sender, bool) {
        sender.RemoveLink(*later);
        later.reset();
    };
    port.AddLink(first);
    port.AddLink(*later);
    port.ReportConnection(true);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(port.LinkCount(), 1);
}

TEST(TComPort, DestructionSendsOneRemovalNoticePerRequestInOrder) {
    std::vector<std::string> log;
    TObserver led(log, "led");
    TObserver box(log, "box");
    TObserver withdrawn(log, "withdrawn");
    TComLink ledLink;
    {
        TComPort port;
        port.AddLink(ledLink);
        port.FreeNotification(led);
        port.FreeNotification(box);
        port.FreeNotification(led); // asked twice, told once
        port.FreeNotification(withdrawn);
        port.RemoveFreeNotification(withdrawn);
        port.RemoveFreeNotification(withdrawn); // never an error
        // The notice may still unregister the link with the dying port.
        led.Action = [&](TCustomComPort& p) { p.RemoveLink(ledLink); };
    }
    EXPECT_EQ(log, (std::vector<std::string>{"led", "box"}));
}

TEST(TComPort, ANoticeMayWithdrawAnotherRequest) {
    std::vector<std::string> log;
    TObserver first(log, "first");
    TObserver second(log, "second");
    {
        TComPort port;
        port.FreeNotification(first);
        port.FreeNotification(second);
        first.Action = [&](TCustomComPort& p) { p.RemoveFreeNotification(second); };
    }
    EXPECT_EQ(log, (std::vector<std::string>{"first"}));
}

TEST(EComPortTest, CarriesCodeMessageAndSystemCode) {
    const EComPort led(EComPort::LedStateFailed);
    EXPECT_EQ(led.Code(), 19);
    EXPECT_STREQ(led.what(), "Cannot change led state if ComPort is selected");
    EXPECT_EQ(led.SystemCode(), -1);
    const EComPort device(2, 5);
    EXPECT_EQ(device.Code(), 2);
    EXPECT_EQ(device.SystemCode(), 5);
    EXPECT_FALSE(std::string(device.what()).empty());
}
