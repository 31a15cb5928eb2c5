#include "TCommFixture.h"

namespace {

using namespace std::chrono_literals;

using TFixedLengthTest = TCommFixture;

TEST_F(TFixedLengthTest, NineBytesWithPausesGiveOneBlockOfNine) {
    OpenFixedLength(9);
    Pty.Write("123");
    std::this_thread::sleep_for(40ms);
    Pty.Write("4567");
    std::this_thread::sleep_for(40ms);
    Pty.Write("89");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "123456789");
    ExpectNoMoreBlocks(1);
}

TEST_F(TFixedLengthTest, FiveThenNineGiveOneBlockAndTheLastFiveWait) {
    OpenFixedLength(9);
    Pty.Write("ABCDE");
    Queue.RunUntil([] { return false; }, 60ms);
    EXPECT_TRUE(Blocks.empty());
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "ABCDE1234");
    ExpectNoMoreBlocks(1);
    Pty.Write("abcd");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], "56789abcd");
}

TEST_F(TFixedLengthTest, ConsecutiveBlocksCutTheStreamIntoEqualPieces) {
    OpenFixedLength(9);
    std::string stream;
    for (int i = 0; i < 50; ++i)
        stream += "0123456789"[i % 10];
    stream += "wxyz"; // 54 bytes: six blocks
    Pty.Write(stream);
    ASSERT_TRUE(WaitBlocks(6));
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(Blocks[i], stream.substr(i * 9, 9));
    ExpectNoMoreBlocks(6);
}

TEST_F(TFixedLengthTest, InputLenAboveTheBufferIsClampedToIt) {
    Comm.SetReadIntervalTimeout(0);
    Comm.SetInputLen(9);
    Comm.SetInBufferSize(4); // InputLen stays 9, the reader must not read past 4
    ASSERT_EQ(Comm.InputLen(), 9);
    Comm.OpenPort();
    ASSERT_TRUE(Comm.PortOpen());
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[0], "1234");
    EXPECT_EQ(Blocks[1], "5678");
    ExpectNoMoreBlocks(2);
}

TEST_F(TFixedLengthTest, InputLenChangedWhileOpenWaitsForTheNextOpen) {
    OpenFixedLength(9);
    Comm.SetInputLen(4);
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "123456789");
    Comm.ClosePort();
    Comm.OpenPort();
    ASSERT_TRUE(Comm.PortOpen());
    Pty.Write("abcdefgh");
    ASSERT_TRUE(WaitBlocks(3));
    EXPECT_EQ(Blocks[1], "abcd");
    EXPECT_EQ(Blocks[2], "efgh");
}

TEST_F(TFixedLengthTest, ReadTimeOutChangedWhileOpenAppliesAtOnce) {
    OpenFixedLength(9);
    Comm.SetReadIntervalTimeout(20);
    Pty.Write("1234");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "1234");
}

TEST_F(TFixedLengthTest, EmptyReadsAreStartedAgainInsteadOfEndingTheReader) {
    // A total time-out lets reads end with no byte at all; the reader must go on.
    Comm.SetReadTotalTimeoutConstant(30);
    OpenFixedLength(9);
    Queue.RunUntil([] { return false; }, 150ms); // several empty reads
    EXPECT_TRUE(Blocks.empty()) << "an empty read delivers nothing";
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "123456789");
    Queue.RunUntil([] { return false; }, 100ms);
    Pty.Write("abc");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], "abc") << "the total time-out ends a short block";
    EXPECT_EQ(Hangups, 0);
}

using TFixedIntervalTest = TCommFixture;

TEST_F(TFixedIntervalTest, NineBytesBackToBackGiveOneBlock) {
    OpenFixedInterval(20);
    ASSERT_EQ(Comm.InputLen(), 2048);
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "123456789");
    ExpectNoMoreBlocks(1);
}

TEST_F(TFixedIntervalTest, APauseLongerThanTheGapSplitsTheBlock) {
    OpenFixedInterval(20);
    Pty.Write("1234");
    std::this_thread::sleep_for(50ms);
    Pty.Write("56789");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[0], "1234");
    EXPECT_EQ(Blocks[1], "56789");
    ExpectNoMoreBlocks(2);
}

TEST_F(TFixedIntervalTest, ALongRunIsSplitAtTheBufferSize) {
    OpenFixedInterval(20);
    std::string run(3000, '\0');
    for (std::size_t i = 0; i < run.size(); ++i)
        run[i] = static_cast<char>('A' + i % 26);
    Pty.Write(run);
    ASSERT_TRUE(WaitBlocks(2));
    ASSERT_EQ(Blocks[0].size(), 2048u);
    ASSERT_EQ(Blocks[1].size(), 952u);
    EXPECT_EQ(Blocks[0] + Blocks[1], run);
    ExpectNoMoreBlocks(2);
}

TEST_F(TFixedIntervalTest, ZeroBytesAreDataAndTheCopyStillEndsInZero) {
    OpenFixedInterval(20);
    const std::string bytes("\x01\x00\x02\x00", 4);
    Pty.Write(bytes);
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], bytes) << "the length, not the 0 byte, ends the block";
}

} // namespace
