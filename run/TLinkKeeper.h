#pragma once

#include "TInfoLine.h"
#include "TRunClock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class TComm;
class TNoticeQueue;
struct TDeviceError;
struct TStateResult;

/// "[串口打开失败!]" with the port, the kind of failure and the system's own
/// text; for a permission failure also the group the user must join.
std::string OpenFailureLine(const std::string& port, const TDeviceError& error, TDateTime now);

/// The rate asked for and the rate in force, when the device did not take the
/// rate; empty when it did or cannot tell.
std::string RateRefusedLine(std::uint32_t asked, const TStateResult& result, TDateTime now);

/// The parity asked for and the one in force ("[校验位未生效!][设定:E][实际:N]"),
/// numbered as in TCommState, with the system's reason when the settings call
/// failed; empty when the device took it or cannot tell.
std::string ParityRefusedLine(std::uint8_t asked, const TStateResult& result, TDateTime now);

/// The same for the stop bits ("[停止位未生效!][设定:2][实际:1]").
std::string StopBitsRefusedLine(std::uint8_t asked, const TStateResult& result, TDateTime now);

/// How many received blocks and bytes were dropped while the window was behind.
std::string DataDroppedLine(std::uint64_t blocks, std::uint64_t bytes, TDateTime now);

/// The device vanished under the open port; `reason` is what the system said,
/// if it said anything (" Input/output error (5)" after the port).
std::string LinkLostLine(const std::string& port, const TDeviceError& reason, TDateTime now);

/// The port opened again after it had vanished.
std::string LinkBackLine(const std::string& port, TDateTime now);

/// Looks after the serial link for a front end, on its window thread. It
/// opens the port and says in the error list why it failed or which rate,
/// parity or stop bits the device refused. It takes over the link's hang-up
/// and dropped-data notices: a vanished device becomes one line and the port
/// is let go of at once, so that the system can give the same name to the
/// device when it returns; while a run is on, the same port is opened again
/// about once a second until it succeeds, and polling goes on without Stop
/// and Start.
///
/// `comm` and `queue` must outlive it; `queue` is the notice queue of `comm`.
/// Every call and every line comes on the thread that pumps `queue`.
class TLinkKeeper {
public:
    using TLineSink = std::function<void(const TInfoLine& line)>;

    TLinkKeeper(TComm& comm, TNoticeQueue& queue, TLineSink onLine);
    ~TLinkKeeper();
    TLinkKeeper(const TLinkKeeper&) = delete;
    TLinkKeeper& operator=(const TLinkKeeper&) = delete;

    void SetClock(const TRunClock& clock) { Clock = &clock; }
    /// How long to wait between two attempts to open a vanished port again.
    void SetRetryPeriod(std::chrono::milliseconds period) { RetryPeriod = period; }

    /// OpenPort with the settings already in the component. A failure, or a
    /// line setting the device did not take, becomes a line. True when the
    /// port is open.
    bool OpenPort();

    /// A run has started: a vanished port is opened again from now on.
    void RunStarted();
    /// The run has stopped: no more attempts.
    void RunStopped();

    /// A vanished port is being opened again.
    bool Reconnecting() const { return Ticker.joinable(); }

private:
    void Hangup();
    void Retry(std::uint32_t generation);
    void StartRetries();
    void StopRetries();
    void ReportRate();
    void Emit(TInfoKind kind, std::string text, TDateTime at);

    TComm& Comm;
    TNoticeQueue& Queue;
    TLineSink OnLine;
    const TRunClock* Clock;
    std::chrono::milliseconds RetryPeriod{1000};
    bool RunOn = false;
    /// Tells a queued attempt of an earlier series that it is stale.
    std::uint32_t Generation = 0;
    /// Dropped by the destructor: an attempt still queued then finds nobody.
    std::shared_ptr<int> Alive = std::make_shared<int>(0);
    /// Posts one attempt per period to the notice queue while reconnecting.
    std::jthread Ticker;
};
