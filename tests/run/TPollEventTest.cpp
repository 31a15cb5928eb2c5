#include "TPollEvent.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

TEST(PollEventTest, WaitTimesOutWhenNotSignalled) {
    TPollEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.WaitFor(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(PollEventTest, ASignalIsKeptUntilOneWaitConsumesIt) {
    TPollEvent event;
    event.Set();
    event.Set(); // not counted: an event, not a semaphore
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(event.WaitFor(10ms));
}

TEST(PollEventTest, AWaitForATicketIgnoresAnotherTicketsSignal) {
    // The reply to an earlier request may be signalled just after the next
    // request's wait began; it must not end that wait.
    TPollEvent event;
    const auto until = [] { return std::chrono::steady_clock::now() + 10ms; };
    event.Set(1);
    EXPECT_FALSE(event.WaitUntil(until(), {}, 2));
    event.Set(2);
    EXPECT_TRUE(event.WaitUntil(until(), {}, 2));
    EXPECT_FALSE(event.IsSignalled());
}

TEST(PollEventTest, SetFromAnotherThreadEndsTheWaitEarly) {
    TPollEvent event;
    std::jthread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.Set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(event.WaitFor(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

TEST(PollEventTest, EveryEventIsItsOwn) {
    // Nothing is shared by name: two events (as two copies of the program
    // would create) never see each other's signal.
    TPollEvent first;
    TPollEvent second;
    first.Set();
    EXPECT_FALSE(second.WaitFor(10ms));
    EXPECT_TRUE(first.WaitFor(0ms));
}

TEST(PollEventTest, ResetDropsASignalAndAStopRequestEndsAWait) {
    TPollEvent event;
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.WaitFor(0ms));

    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(20ms);
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.WaitFor(5s, stop.get_token()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}
