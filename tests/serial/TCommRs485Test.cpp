#include "TCommFixture.h"
#include "TRs485.h"

#include <cerrno>
#include <memory>

namespace {

/// A driver's RS-485 register that outlives the device that used it. The
/// driver cannot drop RTS sooner than 1 ms after the last bit.
struct TFakeRs485Driver {
    TRs485Settings Current;
    int Writes = 0;
    int Reads = 0;
    int Refusal = 0; // the error every call gives; 0: none
};

class TFakeRs485Access final : public TRs485Access {
public:
    explicit TFakeRs485Access(std::shared_ptr<TFakeRs485Driver> driver)
        : Driver(std::move(driver)) {}
    int Get(TRs485Settings& settings) override {
        ++Driver->Reads;
        if (Driver->Refusal != 0)
            return Driver->Refusal;
        settings = Driver->Current;
        return 0;
    }
    int Set(TRs485Settings& settings) override {
        ++Driver->Writes;
        if (Driver->Refusal != 0)
            return Driver->Refusal;
        if ((settings.Flags & TRs485Settings::Enabled) != 0 && settings.DelayRtsAfterSendMs < 1)
            settings.DelayRtsAfterSendMs = 1;
        Driver->Current = settings;
        return 0;
    }

private:
    std::shared_ptr<TFakeRs485Driver> Driver;
};

constexpr std::uint32_t TerminateBus = 1U << 5; // a flag this program leaves alone

class TCommRs485Test : public TCommFixture {
protected:
    void SetUp() override {
        Driver->Current.Flags = TRs485Settings::RxDuringTx | TerminateBus;
        Driver->Current.DelayRtsBeforeSendMs = 7;
        Driver->Current.DelayRtsAfterSendMs = 9;
        Before = Driver->Current;
    }
    void TearDown() override { SetRs485AccessFactory({}); }
    void UseFakeDriver() {
        SetRs485AccessFactory([driver = Driver](const std::string&) {
            return std::make_unique<TFakeRs485Access>(driver);
        });
    }

    std::shared_ptr<TFakeRs485Driver> Driver = std::make_shared<TFakeRs485Driver>();
    TRs485Settings Before;
};

} // namespace

TEST_F(TCommRs485Test, ADriverWithRs485ModeDrivesRtsWhileSendingAndGetsItsSettingsBack) {
    UseFakeDriver();
    Comm.SetRtsControl(TComm::TRtsControl::RtsTransmissionAvailable);
    OpenFixedLength(3);
    EXPECT_TRUE(Comm.Rs485Active());
    EXPECT_EQ(Comm.DirectionControlError(), "");
    EXPECT_EQ(Driver->Current.Flags,
              TRs485Settings::Enabled | TRs485Settings::RtsOnSend | TerminateBus);
    EXPECT_EQ(Driver->Current.DelayRtsBeforeSendMs, 0U);
    EXPECT_EQ(Driver->Current.DelayRtsAfterSendMs, 1U); // as short as the driver allows
    const int writes = Driver->Writes;

    // Traffic is unchanged; another line setting does not switch the mode again.
    ASSERT_TRUE(Queue.RunUntil([&] { return Comm.SendBytes("req", 3); }, ms(3000)));
    EXPECT_EQ(Pty.Read(3, ms(3000)), "req");
    Comm.SetBaudRate(19200);
    EXPECT_EQ(Driver->Writes, writes);

    Comm.ClosePort();
    EXPECT_EQ(Driver->Current.Flags, Before.Flags);
    EXPECT_EQ(Driver->Current.DelayRtsBeforeSendMs, Before.DelayRtsBeforeSendMs);
    EXPECT_EQ(Driver->Current.DelayRtsAfterSendMs, Before.DelayRtsAfterSendMs);

    // Turned off while open, the port gets its settings back at once.
    OpenFixedLength(3);
    EXPECT_TRUE(Comm.Rs485Active());
    Comm.SetRtsControl(TComm::TRtsControl::RtsEnable);
    EXPECT_FALSE(Comm.Rs485Active());
    EXPECT_EQ(Driver->Current.Flags, Before.Flags);
}

TEST_F(TCommRs485Test, OnlyTheRtsToggleAsksForIt) {
    UseFakeDriver();
    Comm.SetRtsControl(TComm::TRtsControl::RtsEnable);
    OpenFixedLength(3);
    Comm.ClosePort();
    EXPECT_EQ(Driver->Reads + Driver->Writes, 0);
    EXPECT_FALSE(Comm.Rs485Active());
}

TEST_F(TCommRs485Test, APortWithoutRs485ModeOpensAndSaysWhyOnce) {
    // A pseudo-terminal has no RS-485 mode: the kernel's own refusal.
    Comm.SetRtsControl(TComm::TRtsControl::RtsTransmissionAvailable);
    OpenFixedLength(3);
    EXPECT_FALSE(Comm.Rs485Active());
    EXPECT_EQ(Comm.PortOpenError(), "");
    EXPECT_EQ(Comm.DirectionControlError(), "RS-485 direction control is not available on " +
                                                Pty.Path() + ": Inappropriate ioctl for device");
    Pty.Write("abc");
    ASSERT_TRUE(WaitBlocks(1));
    Comm.SetBaudRate(19200); // not asked again
    EXPECT_FALSE(Comm.DirectionControlError().empty());
    Comm.OpenPort(); // already open: said by the call that opened it only
    EXPECT_EQ(Comm.DirectionControlError(), "");
    Comm.ClosePort();

    // A driver refusing for its own reason: that reason is given.
    Driver->Refusal = EINVAL;
    UseFakeDriver();
    OpenFixedLength(3);
    EXPECT_EQ(Driver->Reads, 1);
    EXPECT_EQ(Comm.DirectionControlError(),
              "RS-485 direction control is not available on " + Pty.Path() + ": Invalid argument");
}
