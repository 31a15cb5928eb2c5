#pragma once

#include "ModbusRtu.h"
#include "TInfoLine.h"
#include "TRunClock.h"
#include "TRunState.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TComm;
class TPollHost;

/// The shape of the result table for the current parameters.
struct TRunLayout {
    std::int32_t PollFrom = 0;
    std::int32_t PollTo = 0;
    /// Rows: one per address from Poll From to Poll To.
    std::size_t Positions = 0;
    /// Value columns: Register Count div 2.
    std::int32_t ValueColumns = 0;
};

/// What one received block changes on the window.
struct TReceiveOutcome {
    /// The new caption of the receive panel: "接收: " and the block in hex.
    std::string ReceiveCaption;
    /// Lines to append to the error list, in order.
    std::vector<TInfoLine> InfoLines;
    /// The block was the echo a waiting coil command expects (CoilAck is set).
    bool EchoAccepted = false;
};

/// What one poll result changes in its row of the result table.
struct TRowUpdate {
    std::size_t Row = 0;
    bool TimedOut = false;
    /// The row's Value cells, from the first; empty for a time-out, whose Value
    /// cells keep the last good reply's values.
    std::vector<std::string> ValueCells;
    std::string OkText;
    std::string FailText;
};

/// The caption the receive panel shows when a poll has timed out.
inline constexpr const char* TimeoutCaption = "应答超时!!";

/// A polling run without a window: the steps of starting and stopping it, the
/// checking of received blocks, the counting of results and the status line.
/// All of it runs on the window thread; the poll thread is TPollThread.
class TPollingRun {
public:
    explicit TPollingRun(TRunState& state = RunState) : State(state) {}

    /// Why no run can start with the current parameters, in the window's
    /// language; empty when it can. Checked before the port is opened.
    std::string SettingsError() const;

    TRunLayout Layout() const;

    /// The window-free steps of a start: counts carried over when the range is
    /// the one they were made for and started from 0 otherwise, rate base and
    /// start time (`now`, monotonic), a fresh PollEvent, PollingActive, the
    /// poll thread.
    void Start(TPollHost& host, TSteadyTime now);

    /// PollingActive cleared, the poll thread terminated and waited for, the
    /// event freed. Returns at once: every wait of the thread ends on Stop.
    void Stop();

    bool Running() const { return State.PollThread != nullptr; }

    /// A block from the serial link: shown, then matched as a coil echo or
    /// checked as a read reply; a good reply is stored and wakes the poll thread.
    TReceiveOutcome ReceiveData(TByteSpan block, TDateTime now);

    /// A WM_POLL_RESULT: the counts of the slave's position and the texts of its
    /// row. Nothing while no run is on, for a result of an earlier run, or for
    /// an address outside the table.
    std::optional<TRowUpdate> PollResult(std::uint32_t runId, std::int32_t slave,
                                         std::int32_t result);

    /// The response times of the slave at `position` (an empty record outside the table).
    const TResponseStats& ResponseTimes(std::size_t position) const;

    /// Every count and response time back to 0; the rate sampling starts again from 0 as well, so
    /// the rate recovers at the next sample.
    void ResetCounts();

    /// The elapsed time of the run and, from 10 s on, the first slave's reply
    /// rate; takes a rate sample at each 10-second point. `now` is monotonic,
    /// so setting the wall clock changes neither.
    std::string StatusText(TSteadyTime now);

    /// The error-list line for bytes dropped before a request or a command.
    static TInfoLine DiscardedLine(const std::vector<char>& bytes, TDateTime now);

    /// "开始测试时间: " and the date and time.
    static std::string StartTimeText(TDateTime now);

private:
    void RecordResponseTime(std::int32_t slave);

    TRunState& State;
};

/// "响应时间 最小/平均/P99/最大: " and the times in ms; empty without samples.
std::string ResponseTipText(const TResponseStats& stats);

/// The link as the window places it: 8 data bits, no parity, 1 stop bit, DTR
/// and RTS asserted, no flow control, no time-outs, blocks of 9 bytes.
void ApplyLinkDefaults(TComm& comm);

/// Copies the port name, the baud rate and the frame-break settings from the
/// parameters into `comm`.
void ApplyCommSettings(TComm& comm);

/// The settings a port is opened with. A port opened with other ones would
/// cut replies to a stale length or talk on a stale port, so it is reopened.
struct TPortSettings {
    std::string CommName;
    std::int32_t BaudRate = 0;
    std::int32_t FrameBreakMode = 0;
    std::int32_t ReadInterval = 0;
    std::int32_t RegisterCount = 0;
    bool operator==(const TPortSettings&) const = default;
};

/// The port settings the parameters hold now.
TPortSettings CurrentPortSettings();

/// The error line for a port that opened without the RS-485 direction control
/// its settings ask for, with the system's reason; none when there is none.
std::optional<TInfoLine> DirectionControlLine(const TComm& comm, TDateTime now);

/// value / divisor rounded to the nearest integer, a half to the even neighbour.
std::int32_t DivideRoundHalfEven(std::int64_t value, std::int64_t divisor);
