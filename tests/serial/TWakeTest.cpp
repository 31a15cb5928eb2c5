// The lock-free wake-ups between the link's threads and the window thread.
#include "TNoticeQueue.h"
#include "TWakeWord.h"
#include "TWriteQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

TEST(TWakeWordTest, ABumpEndsTheSleepAndADeadlineEndsItWithoutOne) {
    TWakeWord word;
    const std::uint32_t seen = word.Load();
    std::jthread waker([&] {
        std::this_thread::sleep_for(20ms);
        word.Bump();
    });
    const auto start = TClock::now();
    while (word.Load() == seen)
        word.WaitWhile(seen, start + 10s);
    EXPECT_LT(TClock::now() - start, 5s);

    // A bump before the sleep is never lost: the value has moved on.
    const std::uint32_t stale = word.Load();
    word.Bump();
    word.WaitWhile(stale, TClock::now() + 10s);
    EXPECT_NE(word.Load(), stale);

    const auto deadline = TClock::now() + 30ms;
    word.WaitWhile(word.Load(), deadline);
    EXPECT_GE(TClock::now(), deadline);
}

TEST(TWakeWordTest, AStopEndsTheWritersWaitForAnItem) {
    TWriteQueue queue;
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(20ms);
        stop.request_stop();
    });
    EXPECT_FALSE(queue.WaitForItem(stop.get_token()));
}

TEST(TManualNoticeQueueTest, AQuietItemDoesNotWakeThePumpButKeepsItsPlace) {
    TManualNoticeQueue queue;
    std::string ran;
    std::jthread poster([&] {
        std::this_thread::sleep_for(20ms);
        queue.PostQuiet([&] { ran += 'q'; });
    });
    // Not woken for it: the item runs when the pump's wait ends.
    const auto start = TClock::now();
    EXPECT_EQ(queue.WaitAndRun(300ms), 1u);
    EXPECT_GE(TClock::now() - start, 300ms);
    poster.join();

    queue.PostQuiet([&] { ran += 'r'; });
    queue.Post([&] { ran += 'p'; });
    EXPECT_EQ(queue.WaitAndRun(10s), 2u);
    EXPECT_EQ(ran, "qrp");
}

} // namespace
