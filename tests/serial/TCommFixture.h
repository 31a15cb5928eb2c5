#pragma once

#include "TComm.h"
#include "TNoticeQueue.h"
#include "TPtyDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

/// A component on a pseudo-terminal, with every event recorded. The test
/// thread is the window thread: it pumps Queue.
class TCommFixture : public ::testing::Test {
protected:
    using ms = std::chrono::milliseconds;

    TCommFixture() { Wire(Comm); }

    void Wire(TComm& comm) {
        comm.SetCommName(Pty.Path());
        comm.OnReceiveData = [this, &comm](TComm& sender, const char* buffer,
                                           std::uint16_t length) {
            EXPECT_EQ(&sender, &comm);
            // The copy ends with a 0 byte that the length does not count.
            EXPECT_EQ(buffer[length], '\0');
            Blocks.emplace_back(buffer, length);
        };
        comm.OnRequestHangup = [this](TComm& sender) {
            ++Hangups;
            HangupReason = sender.LinkFailure().Text;
        };
        comm.OnSendDataEmpty = [this](TComm&) { ++SentEmpty; };
    }

    /// Fixed length: every block is `length` bytes.
    void OpenFixedLength(std::uint16_t length) {
        Comm.SetReadIntervalTimeout(0);
        Comm.SetInputLen(length);
        Comm.OpenPort();
        ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    }

    /// Fixed interval: a block ends after a gap longer than `gapMs`.
    void OpenFixedInterval(std::uint32_t gapMs) {
        Comm.SetReadIntervalTimeout(gapMs);
        Comm.SetInputLen(0); // the whole buffer
        Comm.OpenPort();
        ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    }

    bool WaitBlocks(std::size_t count, ms timeout = ms(3000)) {
        return Queue.RunUntil([&] { return Blocks.size() >= count; }, timeout);
    }

    /// Pumps for `time` and expects no further block meanwhile.
    void ExpectNoMoreBlocks(std::size_t now, ms time = ms(150)) {
        Queue.RunUntil([] { return false; }, time);
        EXPECT_EQ(Blocks.size(), now);
    }

    /// Waits until at least one notice is queued, without running it.
    bool WaitQueued(ms timeout = ms(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Queue.Size() == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(ms(2));
        }
        return true;
    }

    TManualNoticeQueue Queue; // outlives the component
    TPtyDevice Pty;
    TComm Comm{Queue};
    std::vector<std::string> Blocks;
    int Hangups = 0;
    std::string HangupReason; // the system's, of the last hang-up
    int SentEmpty = 0;
};
