// What keeps the link's memory bounded when one side cannot keep up: the
// window thread's notices and the writer's queue.
#include "TCommFixture.h"
#include "TNotifyWindow.h"
#include "TWriteQueue.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

TWriteItem Item(char c) {
    TWriteItem item;
    item.Count = 1;
    item.Copy.reset(new char[2]{c, 0});
    return item;
}

TEST(TWriteQueueTest, RefusesItemsBeyondItsLimitUntilOneIsTaken) {
    TWriteQueue queue(3);
    for (char c : {'a', 'b', 'c'})
        EXPECT_TRUE(queue.Push(Item(c)));
    EXPECT_FALSE(queue.Push(Item('d')));
    ASSERT_TRUE(queue.TryTake());
    EXPECT_TRUE(queue.Push(Item('e')));
    EXPECT_EQ(TWriteQueue::DefaultLimit, 10'000u);
}

// Every close stops a writer that waits on its queue. The stop runs the wake-up
// on the closing thread while the woken writer leaves its wait; a wake-up lost
// between the two (a fault of one threads library) hangs here until the time
// limit of the test.
TEST(TWriteQueueTest, AStopWakesAWaitingWriterEveryTime) {
    for (int round = 0; round < 300; ++round) {
        TWriteQueue queue;
        std::atomic<bool> waiting{false};
        std::jthread writer([&](std::stop_token stop) {
            waiting = true;
            EXPECT_FALSE(queue.WaitForItem(stop));
        });
        while (!waiting)
            std::this_thread::yield();
        writer.request_stop();
        writer.join();
    }
}

TEST(TNotifyWindowTest, BlocksBeyondTheLimitAreDroppedAndReportedOnceCaughtUp) {
    TManualNoticeQueue queue;
    TComm comm(queue);
    std::vector<std::string> blocks;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> dropped;
    comm.OnReceiveData = [&](TComm&, const char* buffer, std::uint16_t length) {
        blocks.emplace_back(buffer, length);
    };
    comm.OnDataDropped = [&](TComm&, std::uint64_t b, std::uint64_t bytes) {
        dropped.emplace_back(b, bytes);
    };
    const auto window = std::make_shared<TNotifyWindow>(queue, comm, 4);
    const auto post = [&](const std::string& text) {
        auto copy = std::make_shared<char[]>(text.size() + 1);
        std::memcpy(copy.get(), text.data(), text.size());
        return window->PostBlock(text.size(), std::move(copy));
    };
    using TPost = TNotifyWindow::TBlockPost;
    for (const char* text : {"a", "b", "c", "d"})
        EXPECT_EQ(post(text), TPost::Posted);
    EXPECT_EQ(post("eeeee"), TPost::Dropped);
    // Room again, but dropping goes on until the window has caught up to half.
    ASSERT_TRUE(window->Post(WM_COMM_SENT, 0, 0)); // other notices always pass
    EXPECT_EQ(window->Backlog(), 5u);
    EXPECT_EQ(post("ff"), TPost::Dropped);
    queue.RunPending();
    EXPECT_EQ(blocks, (std::vector<std::string>{"a", "b", "c", "d"}));
    ASSERT_EQ(dropped.size(), 1u) << "one report for the whole loss";
    EXPECT_EQ(dropped[0], (std::pair<std::uint64_t, std::uint64_t>{2, 7}));
    EXPECT_EQ(post("g"), TPost::Posted);
    queue.RunPending();
    EXPECT_EQ(blocks.back(), "g");
    EXPECT_EQ(dropped.size(), 1u);
}

using TLinkBoundsTest = TCommFixture;

TEST_F(TLinkBoundsTest, AWindowThatFallsBehindLosesBlocksNotMemory) {
    std::uint64_t droppedBlocks = 0;
    std::uint64_t droppedBytes = 0;
    Comm.OnDataDropped = [&](TComm&, std::uint64_t blocks, std::uint64_t bytes) {
        droppedBlocks += blocks;
        droppedBytes += bytes;
    };
    OpenFixedLength(1); // every byte is a block
    // The window thread is busy: nothing is pumped while 12,000 blocks arrive.
    const std::string flood(12'000, 'x');
    Pty.Write(flood);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::size_t backlog = 0;
    while (std::chrono::steady_clock::now() < deadline && backlog < 10'000) {
        std::this_thread::sleep_for(10ms);
        backlog = Queue.Size();
    }
    std::this_thread::sleep_for(100ms); // the rest of the flood is read meanwhile
    EXPECT_LE(Queue.Size(), 10'002u) << "the writer's hello may come on top";
    ASSERT_TRUE(Queue.RunUntil([&] { return droppedBlocks > 0; }, 20s));
    Queue.RunUntil([&] { return Blocks.size() + droppedBlocks >= flood.size(); }, 20s);
    EXPECT_EQ(Blocks.size() + droppedBlocks, flood.size());
    EXPECT_EQ(droppedBytes, droppedBlocks);
    EXPECT_GE(Blocks.size(), 9'999u) << "10,000 notices: the writer's hello and the blocks";
    EXPECT_EQ(Hangups, 0) << "a full queue is no hang-up: " << HangupReason;
}

TEST_F(TLinkBoundsTest, SendBytesIsRefusedWhileTenThousandBlocksWait) {
    Comm.SetOutx_XonXoffFlow(true);
    OpenFixedLength(9);
    // The device says XOFF: the writer stalls on the first block.
    Pty.Write("\x13");
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(Comm.SendBytes("first", 5));
    std::this_thread::sleep_for(100ms);
    int queued = 0;
    while (queued < 20'000 && Comm.SendBytes("r", 1))
        ++queued;
    EXPECT_EQ(queued, 10'000);
    Pty.Write("\x11"); // XON: the line drains, and room comes back
    ASSERT_TRUE(Queue.RunUntil([&] { return Comm.SendBytes("r", 1); }, 10s));
}

} // namespace
