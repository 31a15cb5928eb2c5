// The hand-over of the line between a coil command and the poll thread, with
// the command on one thread and the poll thread played by another.
#include "TLineHold.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The poll thread: holds whenever the line is wanted, until it is told to end.
struct TPoller {
    explicit TPoller(TLineHold& hold) : Hold(hold) {
        Hold.PollerStarted();
        Thread = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                Hold.WaitWanted(Clock::now() + 5ms, stop);
                if (Hold.Wanted()) {
                    Hold.Hold(stop);
                    ++Holds;
                }
            }
            Hold.PollerEnded();
        });
    }
    TLineHold& Hold;
    std::atomic<int> Holds{0};
    std::jthread Thread;
};

TEST(LineHoldTest, EachRequestGetsAHoldOfItsOwnAndNoWakeUpIsLost) {
    TLineHold hold;
    TPoller poller(hold);
    for (int i = 1; i <= 500; ++i) {
        const std::uint64_t request = hold.Request();
        ASSERT_TRUE(hold.WaitHeld(request, Clock::now() + 5s, {})) << "request " << i;
        hold.Release(request);
        // The next request is not mistaken for this hold's end: it waits for its own.
    }
    poller.Thread.request_stop();
    poller.Thread.join();
    EXPECT_EQ(poller.Holds, 500);
}

TEST(LineHoldTest, WithNobodyPollingTheLineIsTheCommandsAtOnce) {
    TLineHold hold;
    const std::uint64_t request = hold.Request();
    const auto start = Clock::now();
    EXPECT_FALSE(hold.WaitHeld(request, Clock::now() + 5s, {}));
    EXPECT_LT(Clock::now() - start, 1s);
    hold.Release(request);
    EXPECT_FALSE(hold.Wanted());

    // A poller that ends while a command waits lets it go on.
    hold.PollerStarted();
    const std::uint64_t second = hold.Request();
    std::jthread ender([&] {
        std::this_thread::sleep_for(50ms);
        hold.PollerEnded();
    });
    EXPECT_FALSE(hold.WaitHeld(second, Clock::now() + 5s, {}));
    EXPECT_FALSE(hold.Wanted());
}

} // namespace
