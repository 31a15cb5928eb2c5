#include "TLineEvents.h"

#include <gtest/gtest.h>

namespace {

TEST(TLineEventsTest, UnchangedCountersAreNoEvent) {
    TLineCounters counters;
    counters.Frame = 3;
    counters.Ring = 7;
    EXPECT_FALSE(CompareLineCounters(counters, counters).Any());
}

TEST(TLineEventsTest, EachErrorCounterHasItsFlag) {
    const TLineCounters before;
    const auto flagOf = [&](std::uint32_t TLineCounters::*counter) {
        TLineCounters after;
        after.*counter = 1;
        const TLineEvent event = CompareLineCounters(before, after);
        EXPECT_TRUE(event.Error);
        EXPECT_EQ(event.Modem, 0u);
        return event.ErrorFlags;
    };
    EXPECT_EQ(flagOf(&TLineCounters::BufferOverrun), CommErrorRxOver);
    EXPECT_EQ(flagOf(&TLineCounters::Overrun), CommErrorOverrun);
    EXPECT_EQ(flagOf(&TLineCounters::Parity), CommErrorRxParity);
    EXPECT_EQ(flagOf(&TLineCounters::Frame), CommErrorFrame);
    EXPECT_EQ(flagOf(&TLineCounters::Break), CommErrorBreak);
}

TEST(TLineEventsTest, CarrierAndRingAreModemBitsAndMayComeTogether) {
    TLineCounters before;
    before.Carrier = 0xFFFFFFFFu; // counters wrap
    TLineCounters after;
    after.Carrier = 0;
    after.Ring = 2;
    after.Frame = 1;
    const TLineEvent event = CompareLineCounters(before, after);
    EXPECT_EQ(event.Modem, ModemCarrierChanged | ModemRing);
    EXPECT_EQ(event.Modem, 12u);
    EXPECT_TRUE(event.Error);
    EXPECT_EQ(event.ErrorFlags, CommErrorFrame);
}

} // namespace
