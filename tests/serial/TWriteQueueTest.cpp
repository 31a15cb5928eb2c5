#include "TWriteQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TWriteItem Item(std::uint16_t count) {
    TWriteItem item;
    item.Count = count;
    item.Copy.reset(new char[count + 1]());
    return item;
}

TEST(TWriteQueueTest, TakesInPushOrderAndRefusesAfterClose) {
    TWriteQueue queue;
    EXPECT_FALSE(queue.TryTake());
    EXPECT_TRUE(queue.Push(Item(1)));
    EXPECT_TRUE(queue.Push(Item(2)));
    EXPECT_EQ(queue.TryTake()->Count, 1);
    queue.Close();
    EXPECT_TRUE(queue.Closed());
    EXPECT_FALSE(queue.TryTake()) << "closing drops what was queued";
    EXPECT_FALSE(queue.Push(Item(3)));
}

TEST(TWriteQueueTest, WaitEndsOnPushOnStopAndOnClose) {
    TWriteQueue queue;
    {
        std::jthread pusher([&queue] {
            std::this_thread::sleep_for(20ms);
            queue.Push(Item(5));
        });
        EXPECT_TRUE(queue.WaitForItem(std::stop_token()));
    }
    EXPECT_EQ(queue.TryTake()->Count, 5);

    std::stop_source stop;
    std::jthread stopper([&stop] {
        std::this_thread::sleep_for(20ms);
        stop.request_stop();
    });
    EXPECT_FALSE(queue.WaitForItem(stop.get_token()));
    stopper.join();

    std::jthread closer([&queue] {
        std::this_thread::sleep_for(20ms);
        queue.Close();
    });
    EXPECT_FALSE(queue.WaitForItem(std::stop_token()));
}

} // namespace
