#include "TCommFixture.h"

#include <map>

namespace {

using namespace std::chrono_literals;

using TWriterTest = TCommFixture;

TEST_F(TWriterTest, TwoBlocksReachTheLineInCallOrder) {
    OpenFixedLength(9);
    const std::string first(1000, 'A');
    const std::string second(1000, 'B');
    ASSERT_TRUE(Comm.SendBytes(first.data(), 1000));
    ASSERT_TRUE(Comm.SendBytes(second.data(), 1000));
    EXPECT_EQ(Pty.Read(2000, 3s), first + second);
}

TEST_F(TWriterTest, BlocksFromTwoThreadsAreNeverInterleaved) {
    OpenFixedLength(9);
    constexpr int PerThread = 150;
    constexpr std::size_t Size = 40;
    const auto sender = [this](char tag) {
        for (int i = 0; i < PerThread; ++i) {
            // tag, three-digit sequence number, then the tag repeated.
            char head[8];
            std::snprintf(head, sizeof head, "%c%03d", tag, i);
            std::string block = head + std::string(Size - 4, tag);
            EXPECT_TRUE(Comm.SendBytes(block.data(), static_cast<std::uint16_t>(Size)));
        }
    };
    std::jthread a(sender, 'a');
    std::jthread b(sender, 'b');
    const std::string line = Pty.Read(2 * PerThread * Size, 10s);
    a.join();
    b.join();
    ASSERT_EQ(line.size(), 2 * PerThread * Size);
    std::map<char, int> next{{'a', 0}, {'b', 0}};
    for (std::size_t at = 0; at < line.size(); at += Size) {
        const std::string block = line.substr(at, Size);
        const char tag = block[0];
        ASSERT_TRUE(tag == 'a' || tag == 'b') << "block at " << at << " torn: " << block;
        EXPECT_EQ(block.substr(4), std::string(Size - 4, tag)) << "interleaved at " << at;
        EXPECT_EQ(std::stoi(block.substr(1, 3)), next[tag]++) << "out of order at " << at;
    }
    EXPECT_EQ(next['a'], PerThread);
    EXPECT_EQ(next['b'], PerThread);
}

TEST_F(TWriterTest, EmptyOrMissingBlocksAreRefused) {
    OpenFixedLength(9);
    EXPECT_FALSE(Comm.SendBytes("abc", 0));
    EXPECT_FALSE(Comm.SendBytes(nullptr, 3));
    EXPECT_EQ(Pty.Read(1, 100ms), "");
}

TEST_F(TWriterTest, SendDataEmptyOnceAtStartAndOnceAfterWriting) {
    OpenFixedLength(9);
    ASSERT_TRUE(Queue.RunUntil([&] { return SentEmpty >= 1; }, 3000ms));
    Queue.RunUntil([] { return false; }, 60ms);
    EXPECT_EQ(SentEmpty, 1) << "an idle writer says so only once";
    ASSERT_TRUE(Comm.SendBytes("12345678", 8));
    EXPECT_EQ(Pty.Read(8, 3s), "12345678");
    ASSERT_TRUE(Queue.RunUntil([&] { return SentEmpty >= 2; }, 3000ms));
    Queue.RunUntil([] { return false; }, 60ms);
    EXPECT_EQ(SentEmpty, 2);
}

TEST_F(TWriterTest, OutputSendsItsString) {
    OpenFixedLength(9);
    Comm.SetOutput("hello");
    EXPECT_EQ(Comm.Output(), "hello");
    EXPECT_EQ(Pty.Read(5, 3s), "hello");
}

TEST_F(TWriterTest, ARequestAndItsReplyMakeARoundTrip) {
    OpenFixedLength(9);
    const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
    ASSERT_TRUE(Comm.SendBytes(request.data(), 8));
    ASSERT_EQ(Pty.Read(8, 3s), request);
    const std::string reply("\x01\x03\x04\x00\x01\x00\x02\x2A\x32", 9);
    Pty.Write(reply);
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], reply);
}

} // namespace
