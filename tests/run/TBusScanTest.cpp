// The scan on the real serial link against a device the test plays (under wine: on a COM
// pair): what counts as a device, and the wait each probe gets. The test thread pumps the
// notice queue, as a front end would.
#include "TBusScan.h"
#include "TPtyDevice.h"
#include "TScanRecorder.h"

#include "TNoticeQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 20s; // upper bound of every wait; reached only on failure

TEST(TBusScanTimingTest, AProbeWaitsForTheFramesAndTheTurnaround) {
    const struct {
        std::int32_t Rate;
        TLineParity Parity;
        std::int32_t StopBits;
        std::chrono::milliseconds Turnaround;
        std::chrono::milliseconds Wait;
    } cases[] = {
        {9600, TLineParity::None, 1, 30ms, 46ms},  // 15 characters of 10 bits: 15.6 ms
        {19200, TLineParity::Even, 1, 30ms, 39ms}, // of 11 bits: 8.6 ms
        {1200, TLineParity::None, 2, 0ms, 138ms},  // 137.5 ms
        {115200, TLineParity::Odd, 2, 30ms, 32ms}, // of 12 bits: 1.6 ms
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProbeTimeout(c.Rate, c.Parity, c.StopBits, c.Turnaround), c.Wait) << c.Rate;
}

TEST(TBusScanTest, AStrayFrameIsNotADeviceAndAnExceptionIs) {
    TPtyDevice device;
    // Slave 3 answers once and never again, as a stray frame would look; slave 4 refuses
    // every read with an exception, slave 6 answers every one.
    auto answered3 = std::make_shared<std::atomic<bool>>(false);
    device.SetScript([answered3](const TFrame8& request) -> std::vector<TDeviceReply> {
        const int slave = request[0];
        if (slave == 3 && !answered3->exchange(true))
            return {{GoodReply(3, 1, {}), 0ms}};
        if (slave == 4) {
            std::vector<std::uint8_t> refusal{4, 0x83, 0x02};
            AppendCrc(refusal);
            return {{refusal, 0ms}};
        }
        if (slave == 6)
            return {{GoodReply(6, 1, {}), 0ms}};
        return {};
    });
    TManualNoticeQueue queue;
    TBusScan scan(queue);
    TScanRecorder recorder;
    TScanPlan plan;
    plan.CommName = device.Path();
    plan.From = 2;
    plan.To = 7;
    plan.BaudRates = {19200};
    plan.Parities = {TLineParity::None};
    plan.Turnaround = 200ms; // room for a busy machine; a silent address costs it
    ASSERT_TRUE(scan.Start(plan, recorder));
    ASSERT_TRUE(queue.RunUntil([&] { return recorder.End.has_value(); }, Patience));
    EXPECT_EQ(recorder.End->Outcome, TScanOutcome::Completed);
    ASSERT_EQ(recorder.Found.size(), 2U) << "slave 3 answered once: a stray frame";
    EXPECT_EQ(recorder.Found[0].Slave, 4);
    ASSERT_TRUE(recorder.Found[0].Exception.has_value());
    EXPECT_EQ(ScanReplyText(recorder.Found[0]), "异常码 02 非法数据地址");
    EXPECT_EQ(recorder.Found[1].Slave, 6);
    EXPECT_EQ(recorder.Found[1].BaudRate, 19200);
    EXPECT_EQ(ScanReplyText(recorder.Found[1]), "4660 (0x1234)");
    EXPECT_GT(recorder.Found[1].ResponseMs, 0.0);
    EXPECT_TRUE(recorder.Lines.empty()) << recorder.Lines.front();
    // Every address once, the found ones and slave 3 twice; each a one-register read.
    EXPECT_EQ(device.RequestCount(), 6U + 3U);
    EXPECT_EQ(device.Requests().front(), BuildReadRequest(2, 0, 1));
    ASSERT_TRUE(recorder.Last.has_value());
    EXPECT_EQ(recorder.Last->Done, 6U);
    EXPECT_EQ(recorder.Last->Total, 6U);
}

// 停止 in the window, Ctrl-C on the console: the scan ends within a probe, and what it
// found so far still comes.
TEST(TBusScanTest, StopEndsTheScanAtOnceWithWhatItFound) {
    TPtyDevice device;
    // Slaves 1 and 2 answer; the rest of the line is silent, each probe waiting its time out.
    device.SetScript([](const TFrame8& request) {
        return request[0] <= 2 ? std::vector<TDeviceReply>{{GoodReply(request[0], 1, {}), 0ms}}
                               : std::vector<TDeviceReply>{};
    });
    TManualNoticeQueue queue;
    TBusScan scan(queue);
    TScanRecorder recorder;
    TScanPlan plan;
    plan.CommName = device.Path();
    plan.BaudRates = {19200};
    plan.Parities = {TLineParity::None};
    ASSERT_TRUE(scan.Start(plan, recorder));
    ASSERT_TRUE(queue.RunUntil([&] { return !recorder.Found.empty(); }, Patience));
    const auto stopping = std::chrono::steady_clock::now();
    scan.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    ASSERT_TRUE(queue.RunUntil([&] { return recorder.End.has_value(); }, Patience));
    EXPECT_EQ(recorder.End->Outcome, TScanOutcome::Stopped);
    EXPECT_EQ(recorder.End->Found, recorder.Found.size());
    EXPECT_LT(recorder.End->Probes, 247U);
    EXPECT_FALSE(scan.Busy());
}

TEST(TBusScanTest, APortThatDoesNotOpenEndsTheScanWithItsReason) {
    TManualNoticeQueue queue;
    TBusScan scan(queue);
    TScanRecorder recorder;
    TScanPlan plan;
    plan.CommName = "quellmark-no-such-port";
    plan.BaudRates = {9600};
    plan.Parities = {TLineParity::None};
    ASSERT_TRUE(scan.Start(plan, recorder));
    ASSERT_TRUE(queue.RunUntil([&] { return recorder.End.has_value(); }, Patience));
    EXPECT_EQ(recorder.End->Outcome, TScanOutcome::PortFailed);
    ASSERT_EQ(recorder.Lines.size(), 1U);
    EXPECT_NE(recorder.Lines[0].find("[串口打开失败!][quellmark-no-such-port][设备不存在]"),
              std::string::npos)
        << recorder.Lines[0];
}

} // namespace
