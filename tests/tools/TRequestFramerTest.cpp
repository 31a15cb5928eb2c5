#include "TRequestFramer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<std::uint8_t> Bytes(const TFrame8& frame) {
    return {frame.begin(), frame.end()};
}

TEST(TRequestFramerTest, CutsWholeAndSplitRequests) {
    const TFrame8 read = BuildReadRequest(1, 0, 2);
    const TFrame8 coil = BuildCoilCommand(7, TCoilAction::UnZero);
    TRequestFramer framer;

    EXPECT_EQ(framer.Feed(read), std::vector<TFrame8>{read});

    const auto both = Concat({Bytes(coil), Bytes(read)});
    EXPECT_EQ(framer.Feed(both), (std::vector<TFrame8>{coil, read}));

    std::vector<TFrame8> frames;
    for (const std::uint8_t b : both) {
        const auto found = framer.Feed(TByteSpan(&b, 1));
        frames.insert(frames.end(), found.begin(), found.end());
        EXPECT_LT(framer.PendingBytes(), 8U);
    }
    EXPECT_EQ(frames, (std::vector<TFrame8>{coil, read}));
    EXPECT_EQ(framer.DiscardedBytes(), 0U);
    EXPECT_EQ(framer.PendingBytes(), 0U);
}

TEST(TRequestFramerTest, FindsItsWayBackAfterNoiseAndBrokenRequests) {
    const TFrame8 read = BuildReadRequest(3, 4, 6);
    TFrame8 broken = BuildReadRequest(3, 0, 2);
    broken[7] ^= 0x55;
    const std::vector<std::uint8_t> noise{0x00, 0xFF, 0x13, 0x03};

    TRequestFramer framer;
    EXPECT_EQ(framer.Feed(Concat({noise, Bytes(read)})), std::vector<TFrame8>{read});
    EXPECT_EQ(framer.DiscardedBytes(), noise.size());

    EXPECT_EQ(framer.Feed(Concat({Bytes(broken), Bytes(read)})), std::vector<TFrame8>{read});
    EXPECT_EQ(framer.DiscardedBytes(), noise.size() + broken.size());

    // A truncated request followed later by a whole one: the stub is skipped once the next
    // request completes, not before.
    const auto stub = Bytes(read);
    EXPECT_TRUE(framer.Feed(TByteSpan(stub.data(), 5)).empty());
    EXPECT_EQ(framer.PendingBytes(), 5U);
    EXPECT_EQ(framer.Feed(read), std::vector<TFrame8>{read});
    EXPECT_EQ(framer.DiscardedBytes(), noise.size() + broken.size() + 5);
}

} // namespace
