#include "TComDataPacket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

/// A port that can tell how many links it holds.
class TCountingPort : public TComPort {
public:
    int LinkCount() {
        int count = 0;
        ForEachLink([&count](TComLink&) { ++count; });
        return count;
    }
};

struct TPacketLog {
    explicit TPacketLog(TComDataPacket& packet) {
        packet.OnPacket = [this](TComDataPacket&, const std::string& s) { Packets.push_back(s); };
        packet.OnDiscard = [this](TComDataPacket&, const std::string& s) {
            Discarded.push_back(s);
        };
    }
    std::vector<std::string> Packets;
    std::vector<std::string> Discarded;
};

} // namespace

TEST(TComDataPacket, RegistersItsReadingLinkWithTheBoundPortOnly) {
    TCountingPort first;
    TCountingPort second;
    TComDataPacket packet;
    EXPECT_EQ(packet.MaxBufferSize(), 1024);
    EXPECT_EQ(packet.Size(), 0);
    EXPECT_EQ(packet.ComPort(), nullptr);

    packet.SetComPort(&first);
    EXPECT_EQ(first.LinkCount(), 1);
    EXPECT_TRUE(first.HasRxBufLink());
    packet.SetComPort(&first); // unchanged: not registered twice
    EXPECT_EQ(first.LinkCount(), 1);

    packet.SetComPort(&second);
    EXPECT_EQ(first.LinkCount(), 0);
    EXPECT_FALSE(first.HasRxBufLink());
    EXPECT_EQ(second.LinkCount(), 1);

    packet.SetComPort(nullptr);
    EXPECT_EQ(second.LinkCount(), 0);
}

TEST(TComDataPacket, PortDestroyedFirstOrPacketDestroyedFirstRemovesTheLinkOnce) {
    {
        TComDataPacket packet;
        {
            TCountingPort port;
            packet.SetComPort(&port);
        } // the notice removes the link; a second removal would raise
        EXPECT_EQ(packet.ComPort(), nullptr);
    }
    {
        TCountingPort port;
        {
            TComDataPacket packet;
            packet.SetComPort(&port);
        }
        EXPECT_EQ(port.LinkCount(), 0);
        EXPECT_FALSE(port.HasRxBufLink());
    } // the port must not notify the packet that is gone
}

TEST(TComDataPacket, CutsPacketsBetweenStartAndStopStringsAcrossBlocks) {
    TComPort port;
    TComDataPacket packet;
    TPacketLog log(packet);
    packet.SetComPort(&port);
    packet.SetStartString("<");
    packet.SetStopString(">");
    const std::string first = "xx<ab";
    const std::string second = "c><de><";
    packet.Link().LinkRxBuf(port, first.data(), static_cast<int>(first.size()));
    packet.Link().LinkRxBuf(port, second.data(), static_cast<int>(second.size()));
    EXPECT_EQ(log.Packets, (std::vector<std::string>{"abc", "de"}));
    EXPECT_EQ(log.Discarded, (std::vector<std::string>{"xx"}));

    packet.SetIncludeStrings(true);
    packet.AddData("fg>"); // completes the packet begun by the trailing "<"
    EXPECT_EQ(log.Packets.back(), "<fg>");
}

TEST(TComDataPacket, MatchesStringsWithoutCaseWhenAsked) {
    TComDataPacket packet;
    TPacketLog log(packet);
    packet.SetStartString("ST");
    packet.SetStopString("END");
    packet.AddData("st1end");
    EXPECT_TRUE(log.Packets.empty());
    packet.ResetBuffer();
    packet.SetCaseInsensitive(true);
    packet.AddData("st1end sT2EnD");
    EXPECT_EQ(log.Packets, (std::vector<std::string>{"1", "2"}));
}

TEST(TComDataPacket, SizeEndsAPacketAndAnOverfullBufferIsDiscarded) {
    TComDataPacket packet;
    TPacketLog log(packet);
    packet.SetStartString("#");
    packet.SetSize(3);
    packet.AddData("#12");
    EXPECT_TRUE(log.Packets.empty());
    packet.AddData("3#456#7");
    EXPECT_EQ(log.Packets, (std::vector<std::string>{"123", "456"}));

    packet.SetSize(0);
    packet.SetStopString("!");
    packet.SetMaxBufferSize(8);
    log.Discarded.clear();
    packet.AddData("#abcdefghij");
    EXPECT_EQ(log.Discarded, (std::vector<std::string>{"#abcdefghij"}));
    packet.AddData("#ok!");
    EXPECT_EQ(log.Packets.back(), "ok");
}

TEST(TComDataPacket, CustomStartAndStopDecideTheBounds) {
    TComDataPacket packet;
    TPacketLog log(packet);
    // A packet starts at the first digit and holds two bytes.
    packet.OnCustomStart = [](TComDataPacket&, const std::string& s, int& pos) {
        const auto at = s.find_first_of("0123456789");
        pos = at == std::string::npos ? -1 : static_cast<int>(at);
    };
    packet.OnCustomStop = [](TComDataPacket&, const std::string& s, int& pos) {
        pos = s.size() >= 2 ? 2 : -1;
    };
    packet.AddData("ab1");
    EXPECT_TRUE(log.Packets.empty());
    packet.AddData("2c34");
    EXPECT_EQ(log.Packets, (std::vector<std::string>{"12", "34"}));
    EXPECT_EQ(log.Discarded, (std::vector<std::string>{"ab", "c"}));
}

TEST(TComDataPacket, WithoutStringsEveryBlockIsAPacket) {
    TComDataPacket packet;
    TPacketLog log(packet);
    packet.AddData("one");
    packet.AddData("two");
    EXPECT_EQ(log.Packets, (std::vector<std::string>{"one", "two"}));
}
