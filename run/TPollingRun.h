#pragma once

#include "ModbusRtu.h"
#include "TInfoLine.h"
#include "TLineHold.h"
#include "TPendingRequest.h"
#include "TPollEvent.h"
#include "TResponseStats.h"
#include "TRunClock.h"
#include "TRunReport.h"
#include "TRunSettings.h"
#include "TVerdict.h"
#include "ValueFormat.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

class TComm;
class TNoticeQueue;
class TPollThread;

/// What a front end hears of a run. Every call comes on the owning loop's
/// thread, through its notice queue, and none is needed for counting: the
/// run counts where replies arrive, and the front end only shows.
class TRunListener {
public:
    virtual ~TRunListener() = default;
    /// Lines for the error list wait in the run (TPollingRun::TakeLines).
    virtual void LinesReady() {}
    /// Rows or panel captions changed since the display was armed
    /// (TPollingRun::ArmDisplay); told once until it is armed again.
    virtual void DisplayChanged() {}
    /// The passes asked for are done and the poll thread has ended: the last
    /// reply has come or its wait has run out, and no request follows.
    virtual void RunEnded() {}
};

/// The shape of the result table for a run's settings.
struct TRunLayout {
    std::int32_t PollFrom = 0;
    std::int32_t PollTo = 0;
    /// Rows: one per address from Poll From to Poll To.
    std::size_t Positions = 0;
    /// Value columns: as many as the value format makes of Register Count.
    std::int32_t ValueColumns = 0;
};

/// What one received block changed: the receive panel's caption and the lines
/// it wrote (also queued for the front end).
struct TReceiveOutcome {
    std::string ReceiveCaption;
    std::vector<TInfoLine> InfoLines;
    /// The block was the echo a waiting coil command expects (CoilAck is set).
    bool EchoAccepted = false;
};

/// One row of the result table as it stands.
struct TRowSnapshot {
    /// The values of the slave's last good reply, as the Value cells show them;
    /// empty before its first one.
    std::vector<std::string> ValueCells;
    /// The same values as JSON has them: numbers, a string for hex16, null for
    /// a float that is no number.
    std::vector<std::string> ValueJson;
    std::int32_t Ok = 0;
    std::int32_t Fail = 0;
    /// Whether any of its results has come in this run (the OK and FAIL cells
    /// are filled from the first one).
    bool Counted = false;
    /// Each value column over the good replies (kept and reset with the counts).
    std::vector<TValueStats> Stats;
    /// Given only while limits are set.
    std::optional<TVerdict> Verdict;
};

/// The caption the receive panel shows when a poll has timed out.
inline constexpr const char* TimeoutCaption = "应答超时!!";
/// The caption of the send panel before the first request.
inline constexpr const char* SendCaptionPrefix = "发送: ";

/// A polling run and its state: the poll thread, the reply checks on the path
/// where blocks arrive, the counts, the response times, and the coil flags.
/// Front ends start and stop it, read what it counted, and show it.
///
/// Threads: the owning loop's thread (Start, Stop, the readers of counts and
/// captions, ResetCounts, StatusText); the poll thread; the serial reader,
/// which calls ReceiveData for every block. Shared state is atomic or under
/// one mutex; nothing here waits for the owning loop.
class TPollingRun {
public:
    TPollingRun(TComm& comm, TNoticeQueue& queue, TRunListener& listener);
    ~TPollingRun();
    TPollingRun(const TPollingRun&) = delete;
    TPollingRun& operator=(const TPollingRun&) = delete;

    void SetClock(const TRunClock& clock) { Clock = &clock; }

    /// Why no run can start with `settings`, in the window's language; empty
    /// when it can. Checked before the port is opened.
    static std::string SettingsError(const TRunSettings& settings);
    static TRunLayout Layout(const TRunSettings& settings);

    /// The settings replies are checked against while no run is on (the port
    /// may be open for a coil command); Start sets those of the run.
    void UseSettings(const TRunSettings& settings);
    const TRunSettings& Settings() const { return FSettings; }
    TRunLayout Layout() const { return Layout(FSettings); }

    /// Starts the poll thread: counts carried over when the range is the one
    /// they were made for and started from 0 otherwise, the rate base, the
    /// start time. With `cycles` the run ends by itself after that many passes
    /// over the range (RunEnded). Throws std::logic_error when a run is on or
    /// the settings are unsound.
    void Start(const TRunSettings& settings, std::optional<std::int64_t> cycles = std::nullopt);

    /// Ends the poll thread at once (a wait cut short counts nothing) and
    /// waits for it; PollingActive is cleared first.
    void Stop();

    /// The poll thread runs (Start, and not yet Stop).
    bool Running() const { return PollThread != nullptr; }
    /// The passes asked for are done.
    bool Ended() const { return FEnded.load(); }

    // ---- What the front end shows; owning thread ----

    /// The next change of a row or a caption posts DisplayChanged, once. Arm
    /// before reading, so that a change meanwhile posts again.
    void ArmDisplay();
    /// Rows with a new result since the last call, in the order they changed.
    std::vector<std::size_t> TakeChangedRows();
    TRowSnapshot Row(std::size_t position) const;
    /// The response times of the slave at `position` (empty outside the table).
    TResponseStats ResponseTimes(std::size_t position) const;
    /// The Id cell's tooltip: the response times (as ResponseTipText gives
    /// them) and each value column's least, greatest and mean value.
    std::string ResponseTip(std::size_t position) const;
    std::string ReceiveCaption() const;
    std::string SendCaption() const;
    /// The error-list lines made since the last call, oldest first.
    std::vector<TInfoLine> TakeLines();

    /// Every count and response time back to 0; the rate sampling starts
    /// again from 0 as well, so the rate recovers at the next sample.
    void ResetCounts();
    /// Good and failed polls of the whole table in this run.
    std::pair<std::int64_t, std::int64_t> Totals() const;

    /// The record of the run: its settings, every row with its statistics and
    /// verdict, and its error lines by kind; `tool` and `version` name who made it.
    TRunReport Report(const std::string& tool, const std::string& version) const;

    /// The elapsed time of the run and, from 10 s on, the first slave's reply
    /// rate; takes a rate sample at each 10-second point. `now` is monotonic.
    std::string StatusText(TSteadyTime now);

    /// "开始测试时间: " and the date and time.
    static std::string StartTimeText(TDateTime now);

    // ---- Any thread ----

    /// A line for the error list (from the link, a coil command, the run).
    void AddLine(TInfoLine line);

    /// The serial reader, with every received block: shown, then matched as a
    /// coil echo or checked as a read reply. A good reply in time is stored,
    /// timed and ends its poll's wait; so does a refusal, as a failure. The
    /// outcome's lines are queued for the front end too.
    TReceiveOutcome ReceiveData(TByteSpan block, TDateTime now);

    /// The error-list line for bytes dropped before a request or a command.
    static TInfoLine DiscardedLine(const std::vector<char>& bytes, TDateTime now);

    // ---- The run state, the run's own ----

    /// The address being polled.
    std::atomic<std::int32_t> CurrentSlave{0};
    /// The request in flight and how it ended.
    TPendingRequest RequestPending;
    /// True from Start until Stop.
    std::atomic<bool> PollingActive{false};
    /// The handshake between the receive path and the poll thread.
    TPollEvent PollEvent;

    /// A coil command waits for its echo: blocks are only matched against
    /// CoilCommand, which is written before this is set.
    std::atomic<bool> CoilCommandMode{false};
    std::atomic<bool> CoilAck{false};
    /// The slave refused the command (an exception reply instead of the echo).
    std::atomic<bool> CoilRefused{false};
    std::atomic<bool> CoilTimedOut{false};
    TFrame8 CoilCommand{};
    /// Bumped when CoilAck or CoilRefused is set.
    TWakeWord CoilAnswered;

    /// A coil command's claim on the line while the run is on.
    TLineHold LineHold;

    // ---- For the poll thread ----

    TComm& Comm() { return FComm; }
    const TRunClock& RunClock() const { return *Clock; }
    void SetSendCaption(std::string caption);
    /// A poll's verdict: counted for its row; a time-out also shows in the
    /// receive panel.
    void CountResult(std::int32_t slave, TPendingRequest::TState outcome);
    /// The passes are done; the poll thread ends after this.
    void MarkEnded();

private:
    std::optional<std::size_t> PositionOf(std::int32_t slave) const; // under Mutex
    void NotifyDisplay();
    void ReceiveReadReply(TByteSpan block, TDateTime now, TReceiveOutcome& outcome,
                          std::optional<std::uint32_t>& decidedTicket);

    TComm& FComm;
    TNoticeQueue& Queue;
    TRunListener& Listener;
    const TRunClock* Clock;
    /// Queued notices hold this, not the run; the destructor drops it, and a
    /// notice that runs later finds nobody.
    std::shared_ptr<TPollingRun*> Self;

    TRunSettings FSettings;                  // owning thread; copied under Mutex
    std::unique_ptr<TPollThread> PollThread; // owning thread
    std::atomic<bool> FEnded{false};
    std::atomic<bool> DisplayArmed{false};

    mutable std::mutex Mutex; // guards everything below
    std::int32_t CheckRegisterCount = 2;
    std::int32_t CheckFunction = ReadHoldingRegisters;
    TValueFormat CheckFormat;
    std::int32_t CheckPollFrom = 1;
    std::int64_t CheckTimeoutNs = 500'000'000;
    std::vector<std::int32_t> OkCounts;
    std::vector<std::int32_t> FailCounts;
    std::vector<bool> CountedInRun;
    /// The range the counts were made for: Poll From and Poll To.
    std::optional<std::pair<std::int32_t, std::int32_t>> CountsRange;
    /// The values of the last good reply, and of each slave's.
    std::vector<TDecodedValue> RegisterValues;
    std::vector<std::vector<TDecodedValue>> RowValues;
    std::vector<std::vector<TValueStats>> FValueStats;
    /// What the statistics were made for: the range, the format, the count.
    std::optional<
        std::tuple<std::int32_t, std::int32_t, TValueFormat, std::int32_t, std::vector<TValueLimit>>>
        StatsLayout;
    TLimits CheckLimits;
    std::vector<TResponseStats> FResponseTimes;
    std::vector<std::size_t> ChangedRows;
    std::vector<bool> RowChanged;
    std::string FReceiveCaption = "接收: ";
    std::string FSendCaption = SendCaptionPrefix;

    mutable std::mutex LinesMutex; // guards the outbox and the summary of the lines
    std::deque<TInfoLine> Lines;
    std::map<TInfoKind, TReportLines> LineSummary;
    TDateTime StartedAt;
    std::optional<TDateTime> EndedAt;
    std::size_t LineBytes = 0;
    std::uint64_t DroppedLines = 0;
    bool LinesNotified = false;

    // The status line; owning thread.
    std::optional<TSteadyTime> PollStartTime;
    std::int32_t RateBaseOkCount = 0;
    std::int32_t RateOkDelta = 0;
    std::int32_t RateSampleSecond = 0;
};

/// "响应时间 最小/平均/P99/最大: " and the times in ms; empty without samples.
std::string ResponseTipText(const TResponseStats& stats);

/// The link as the window places it: 8 data bits, no parity, 1 stop bit, DTR
/// and RTS asserted, no flow control, no time-outs, blocks of 9 bytes.
void ApplyLinkDefaults(TComm& comm);

/// Copies the port name, the line settings, the frame-break settings and the
/// RS-485 choice of `settings` into `comm`.
void ApplyCommSettings(TComm& comm, const TRunSettings& settings);

/// The parity (checked on input when there is one) and the stop bits; 8 data
/// bits always. A stop-bits value other than 2 counts as 1.
void ApplyLineFraming(TComm& comm, TLineParity parity, std::int32_t stopBits);

/// The error line for a port that opened without the RS-485 direction control
/// its settings ask for, with the system's reason; none when there is none.
std::optional<TInfoLine> DirectionControlLine(const TComm& comm, TDateTime now);

/// value / divisor rounded to the nearest integer, a half to the even neighbour.
std::int32_t DivideRoundHalfEven(std::int64_t value, std::int64_t divisor);

/// Poll Timeout as a wait uses it: kept within 1 to 10000 ms, so that a value
/// from the settings file can never make a wait, or a Stop, last for days.
std::chrono::milliseconds PollTimeoutAtUse(const TRunSettings& settings);

/// Poll Interval as the pause uses it: a negative value counts as 0, and more
/// than 10000 ms counts as 10000, for the same reason.
std::chrono::milliseconds PollIntervalAtUse(const TRunSettings& settings);

/// Monotonic nanoseconds, as the request word keeps its times.
std::int64_t MonotonicNanoseconds();
