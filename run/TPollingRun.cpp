#include "TPollingRun.h"

#include "ModbusException.h"
#include "TComm.h"
#include "TNoticeQueue.h"
#include "TPollThread.h"
#include "TSettingsTable.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr const char* ReceiveCaptionPrefix = "接收: ";

// Counts wrap instead of overflowing; at thousands of polls a second a count
// reaches its limit only after months.
std::int32_t Incremented(std::int32_t count) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1U);
}

// Lines wait here while the front end is behind. Beyond this much text a
// flooding device costs lines, counted, not memory.
constexpr std::size_t MaxWaitingLineBytes = std::size_t{16} << 20;

std::string RangeError(const char* what, std::int32_t value, const TSettingEntry& entry) {
    return std::string(what) + "(" + std::to_string(value) + ")超出" + std::to_string(entry.Min) +
           "到" + std::to_string(entry.Max) + "，无法开始运行！";
}

} // namespace

std::int64_t MonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::milliseconds PollTimeoutAtUse(const TRunSettings& settings) {
    return std::chrono::milliseconds(std::clamp(settings.PollTimeout, 1, 10000));
}

std::chrono::milliseconds PollIntervalAtUse(const TRunSettings& settings) {
    return std::chrono::milliseconds(std::clamp(settings.PollInterval, 0, 10000));
}

TPollingRun::TPollingRun(TComm& comm, TNoticeQueue& queue, TRunListener& listener)
    : FComm(comm), Queue(queue), Listener(listener), Clock(&SystemClock()),
      Self(std::make_shared<TPollingRun*>(this)) {}

TPollingRun::~TPollingRun() {
    Stop();
    Self.reset();
}

std::string TPollingRun::SettingsError(const TRunSettings& s) {
    if (s.PollFrom > s.PollTo)
        return "起始从机地址(" + std::to_string(s.PollFrom) + ")大于结束从机地址(" +
               std::to_string(s.PollTo) + ")，无法开始运行！";
    // An address is one byte on the wire, and 0 would be the broadcast, which
    // no slave answers.
    const TSettingEntry& address = SettingEntry(TSettingId::PollFrom);
    if (s.PollFrom < address.Min || s.PollTo > address.Max)
        return "从机地址范围(" + std::to_string(s.PollFrom) + "-" + std::to_string(s.PollTo) +
               ")超出" + std::to_string(address.Min) + "到" + std::to_string(address.Max) +
               "，无法开始运行！";
    const TSettingEntry& count = SettingEntry(TSettingId::RegisterCount);
    if (s.RegisterCount < count.Min || s.RegisterCount > count.Max)
        return RangeError("请求寄存器数量", s.RegisterCount, count);
    const TSettingEntry& begin = SettingEntry(TSettingId::RegisterBegin);
    if (s.RegisterBegin < begin.Min || s.RegisterBegin > begin.Max)
        return RangeError("起始寄存器地址", s.RegisterBegin, begin);
    const TSettingEntry& stopBits = SettingEntry(TSettingId::StopBits);
    if (s.StopBits < stopBits.Min || s.StopBits > stopBits.Max)
        return RangeError("停止位", s.StopBits, stopBits);
    return {};
}

TRunLayout TPollingRun::Layout(const TRunSettings& settings) {
    TRunLayout layout;
    layout.PollFrom = settings.PollFrom;
    layout.PollTo = settings.PollTo;
    const std::int64_t positions = std::int64_t{layout.PollTo} - layout.PollFrom + 1;
    layout.Positions = positions > 0 ? static_cast<std::size_t>(positions) : 0;
    layout.ValueColumns = ValuesPerReply(settings.ValueFormat, settings.RegisterCount);
    return layout;
}

void TPollingRun::UseSettings(const TRunSettings& settings) {
    FSettings = settings;
    std::scoped_lock lock(Mutex);
    CheckRegisterCount = settings.RegisterCount;
    CheckFunction = settings.FunctionCode;
    CheckFormat = settings.ValueFormat;
    CheckPollFrom = settings.PollFrom;
    CheckTimeoutNs = std::chrono::nanoseconds(PollTimeoutAtUse(settings)).count();
    CheckLimits = settings.Limits;
}

void TPollingRun::Start(const TRunSettings& settings, std::optional<std::int64_t> cycles) {
    if (PollThread)
        throw std::logic_error("a polling run is already on");
    const TRunLayout layout = Layout(settings);
    if (layout.Positions == 0)
        throw std::logic_error("a polling run needs Poll From <= Poll To");
    UseSettings(settings);
    {
        std::scoped_lock lock(Mutex);
        // Counts carry over into a run of the same range; a count made for
        // another address would be shown as this one's.
        const std::pair range{layout.PollFrom, layout.PollTo};
        if (CountsRange != range) {
            OkCounts.clear();
            FailCounts.clear();
            FResponseTimes.clear();
            CountsRange = range;
        }
        OkCounts.resize(layout.Positions);
        FailCounts.resize(layout.Positions);
        FResponseTimes.resize(layout.Positions);
        // Statistics go on with the counts, as long as the values mean the same
        // and are held to the same limits (what lay outside is counted as it came).
        const std::tuple statsLayout{layout.PollFrom, layout.PollTo, settings.ValueFormat,
                                     settings.RegisterCount, settings.Limits.Values};
        if (StatsLayout != statsLayout || FValueStats.size() != layout.Positions) {
            FValueStats.assign(layout.Positions, std::vector<TValueStats>(static_cast<std::size_t>(
                                                     std::max(0, layout.ValueColumns))));
            StatsLayout = statsLayout;
        }
        CountedInRun.assign(layout.Positions, false);
        RowValues.assign(layout.Positions, {});
        RowChanged.assign(layout.Positions, false);
        ChangedRows.clear();
        RateBaseOkCount = OkCounts[0];
    }
    PollStartTime = Clock->Steady();
    {
        std::scoped_lock lock(LinesMutex);
        LineSummary.clear();
        StartedAt = Clock->Now();
        EndedAt.reset();
    }
    RateOkDelta = 0;
    RateSampleSecond = 0;
    RequestPending.Clear();
    PollEvent.Reset();
    FEnded = false;
    PollingActive = true;
    LineHold.PollerStarted();
    PollThread = std::make_unique<TPollThread>(*this, settings, cycles);
}

void TPollingRun::Stop() {
    PollingActive = false;
    if (PollThread) {
        PollThread->Terminate();
        PollThread->WaitFor();
        PollThread.reset();
        std::scoped_lock lock(LinesMutex);
        if (!EndedAt)
            EndedAt = Clock->Now();
    }
}

// ---- What the front end shows ----

void TPollingRun::ArmDisplay() {
    DisplayArmed = true;
}

void TPollingRun::NotifyDisplay() {
    if (!DisplayArmed.load(std::memory_order_relaxed) || !DisplayArmed.exchange(false))
        return;
    Queue.Post([self = std::weak_ptr<TPollingRun*>(Self)] {
        if (const auto run = self.lock())
            (*run)->Listener.DisplayChanged();
    });
}

std::vector<std::size_t> TPollingRun::TakeChangedRows() {
    std::scoped_lock lock(Mutex);
    for (const std::size_t row : ChangedRows)
        RowChanged[row] = false;
    return std::exchange(ChangedRows, {});
}

TRowSnapshot TPollingRun::Row(std::size_t position) const {
    std::scoped_lock lock(Mutex);
    TRowSnapshot row;
    if (position >= OkCounts.size())
        return row;
    if (position < RowValues.size())
        for (const TDecodedValue& value : RowValues[position]) {
            row.ValueCells.push_back(value.Text);
            row.ValueJson.push_back(value.Json);
        }
    row.Ok = OkCounts[position];
    row.Fail = FailCounts[position];
    row.Counted = position < CountedInRun.size() && CountedInRun[position];
    if (position < FValueStats.size())
        row.Stats = FValueStats[position];
    if (CheckLimits.Any()) {
        std::optional<double> p99;
        if (position < FResponseTimes.size())
            if (const std::optional<std::int64_t> us = FResponseTimes[position].P99Us())
                p99 = static_cast<double>(*us) / 1000.0;
        row.Verdict = Judge(CheckLimits, row.Stats, static_cast<std::uint32_t>(row.Ok),
                            static_cast<std::uint32_t>(row.Fail), p99);
    }
    return row;
}

TResponseStats TPollingRun::ResponseTimes(std::size_t position) const {
    std::scoped_lock lock(Mutex);
    return position < FResponseTimes.size() ? FResponseTimes[position] : TResponseStats();
}

std::string TPollingRun::ResponseTip(std::size_t position) const {
    std::scoped_lock lock(Mutex);
    std::string tip = position < FResponseTimes.size() ? ResponseTipText(FResponseTimes[position])
                                                       : std::string();
    if (position < FValueStats.size())
        for (std::size_t i = 0; i < FValueStats[position].size(); ++i) {
            const auto texts = ValueStatsTexts(FValueStats[position][i], CheckFormat);
            if (!texts)
                continue;
            tip += std::string(tip.empty() ? "" : "\n") + "Value" + std::to_string(i + 1) +
                   " 最小/最大/平均: " + (*texts)[0] + " / " + (*texts)[1] + " / " + (*texts)[2];
        }
    return tip;
}

std::string TPollingRun::ReceiveCaption() const {
    std::scoped_lock lock(Mutex);
    return FReceiveCaption;
}

std::string TPollingRun::SendCaption() const {
    std::scoped_lock lock(Mutex);
    return FSendCaption;
}

void TPollingRun::SetSendCaption(std::string caption) {
    {
        std::scoped_lock lock(Mutex);
        FSendCaption = std::move(caption);
    }
    NotifyDisplay();
}

void TPollingRun::AddLine(TInfoLine line) {
    bool notify = false;
    {
        std::scoped_lock lock(LinesMutex);
        // The record's summary: every line counted by kind, the first few kept.
        constexpr std::size_t KeptOfAKind = 5;
        TReportLines& summary = LineSummary[line.Kind];
        summary.Kind = line.Kind;
        ++summary.Count;
        if (summary.First.size() < KeptOfAKind)
            summary.First.push_back(line.Text);
        if (LineBytes + line.Text.size() > MaxWaitingLineBytes) {
            ++DroppedLines;
            return;
        }
        LineBytes += line.Text.size();
        Lines.push_back(std::move(line));
        notify = !std::exchange(LinesNotified, true);
    }
    if (notify)
        Queue.Post([self = std::weak_ptr<TPollingRun*>(Self)] {
            if (const auto run = self.lock())
                (*run)->Listener.LinesReady();
        });
}

std::vector<TInfoLine> TPollingRun::TakeLines() {
    std::scoped_lock lock(LinesMutex);
    std::vector<TInfoLine> taken(std::make_move_iterator(Lines.begin()),
                                 std::make_move_iterator(Lines.end()));
    Lines.clear();
    LineBytes = 0;
    LinesNotified = false;
    if (DroppedLines > 0) {
        const TDateTime now = Clock->Now();
        taken.push_back({TInfoKind::Overflow, std::nullopt, now,
                         TimeStampText(now) + "[出错信息过多!][已丢弃" +
                             std::to_string(std::exchange(DroppedLines, 0)) + "行]"});
    }
    return taken;
}

std::optional<std::size_t> TPollingRun::PositionOf(std::int32_t slave) const {
    const std::int64_t position = std::int64_t{slave} - CheckPollFrom;
    if (position < 0 || position >= static_cast<std::int64_t>(OkCounts.size()))
        return std::nullopt;
    return static_cast<std::size_t>(position);
}

void TPollingRun::CountResult(std::int32_t slave, TPendingRequest::TState outcome) {
    {
        std::scoped_lock lock(Mutex);
        const std::optional<std::size_t> p = PositionOf(slave);
        if (!p)
            return;
        if (outcome == TPendingRequest::TState::Good)
            OkCounts[*p] = Incremented(OkCounts[*p]);
        else
            FailCounts[*p] = Incremented(FailCounts[*p]);
        CountedInRun[*p] = true;
        if (!RowChanged[*p]) {
            RowChanged[*p] = true;
            ChangedRows.push_back(*p);
        }
        // A refusal leaves its own bytes in the receive panel.
        if (outcome == TPendingRequest::TState::TimedOut)
            FReceiveCaption = TimeoutCaption;
    }
    NotifyDisplay();
}

void TPollingRun::MarkEnded() {
    {
        std::scoped_lock lock(LinesMutex);
        EndedAt = Clock->Now();
    }
    FEnded = true;
    Queue.Post([self = std::weak_ptr<TPollingRun*>(Self)] {
        if (const auto run = self.lock())
            (*run)->Listener.RunEnded();
    });
}

void TPollingRun::ResetCounts() {
    {
        std::scoped_lock lock(Mutex);
        std::fill(OkCounts.begin(), OkCounts.end(), 0);
        std::fill(FailCounts.begin(), FailCounts.end(), 0);
        for (TResponseStats& stats : FResponseTimes)
            stats.Clear();
        for (std::vector<TValueStats>& stats : FValueStats)
            std::fill(stats.begin(), stats.end(), TValueStats{});
        // Every row shows its zeros at once.
        std::fill(CountedInRun.begin(), CountedInRun.end(), true);
        for (std::size_t p = 0; p < RowChanged.size(); ++p)
            if (!RowChanged[p]) {
                RowChanged[p] = true;
                ChangedRows.push_back(p);
            }
    }
    // The count of position 0 restarts from 0, so the base does too; otherwise
    // no sample would be taken until the count had passed its old value.
    RateBaseOkCount = 0;
    NotifyDisplay();
}

TRunReport TPollingRun::Report(const std::string& tool, const std::string& version) const {
    TRunReport report;
    report.Tool = tool;
    report.Version = version;
    report.Settings = FSettings;
    const TRunLayout layout = Layout();
    for (std::size_t p = 0; p < layout.Positions; ++p) {
        const TRowSnapshot row = Row(p);
        TReportSlave slave;
        slave.Id = layout.PollFrom + static_cast<std::int32_t>(p);
        slave.Values = row.ValueCells;
        slave.Stats = row.Stats;
        slave.Ok = static_cast<std::uint32_t>(row.Ok);
        slave.Fail = static_cast<std::uint32_t>(row.Fail);
        slave.Times = ResponseTimes(p);
        slave.Verdict = row.Verdict;
        report.Slaves.push_back(std::move(slave));
    }
    std::scoped_lock lock(LinesMutex);
    report.Started = StartedAt;
    report.Ended = EndedAt.value_or(Clock->Now());
    for (const auto& [kind, lines] : LineSummary)
        report.Lines.push_back(lines);
    return report;
}

std::pair<std::int64_t, std::int64_t> TPollingRun::Totals() const {
    std::scoped_lock lock(Mutex);
    std::pair<std::int64_t, std::int64_t> totals{0, 0};
    for (std::size_t p = 0; p < OkCounts.size(); ++p) {
        totals.first += static_cast<std::uint32_t>(OkCounts[p]);
        totals.second += static_cast<std::uint32_t>(FailCounts[p]);
    }
    return totals;
}

std::string TPollingRun::StatusText(TSteadyTime now) {
    std::int64_t s = 0;
    if (PollStartTime) {
        const auto elapsed = now - *PollStartTime;
        s = std::chrono::duration_cast<std::chrono::seconds>(elapsed < elapsed.zero() ? -elapsed
                                                                                      : elapsed)
                .count();
    }
    if (s == 0) {
        RateOkDelta = 0;
        RateSampleSecond = 0;
    }

    std::string text = "已测试: ";
    if (s < 60)
        text += std::to_string(s) + "秒";
    else if (s < 3600)
        text += std::to_string(s / 60) + "分" + std::to_string(s % 60) + "秒";
    else
        text += std::to_string(s / 3600) + "小时" + std::to_string(s % 3600 / 60) + "分" +
                std::to_string(s % 60) + "秒";

    std::int32_t firstOk = 0;
    {
        std::scoped_lock lock(Mutex);
        firstOk = OkCounts.empty() ? 0 : OkCounts[0];
    }
    if (s != 0 && s % 10 == 0 && s != RateSampleSecond && firstOk > RateBaseOkCount) {
        RateOkDelta = firstOk - RateBaseOkCount;
        RateBaseOkCount = firstOk;
        RateSampleSecond = static_cast<std::int32_t>(s);
    }

    if (s >= 10)
        text += " 通讯频率: " + std::to_string(DivideRoundHalfEven(RateOkDelta, 10)) + "次/秒";
    return text;
}

std::string TPollingRun::StartTimeText(TDateTime now) {
    return "开始测试时间: " + DateTimeText(now);
}

// ---- The receive path ----

TReceiveOutcome TPollingRun::ReceiveData(TByteSpan block, TDateTime now) {
    TReceiveOutcome outcome;
    // What this block decides is made known only after its lines are queued:
    // whoever waits for the decision finds them there, before its own.
    std::optional<std::uint32_t> decidedTicket;
    bool coilRefused = false;
    if (CoilCommandMode) {
        if (IsCoilEcho(block, CoilCommand)) {
            CoilAck = true;
            outcome.EchoAccepted = true;
            CoilAnswered.Bump();
        } else if (const auto refusal =
                       MatchExceptionReply(block, CoilCommand[0], CoilCommand[1])) {
            // The command was refused, not lost: its wait ends, and the line says why.
            coilRefused = true;
            outcome.InfoLines.push_back(
                TInfoLine{TInfoKind::Exception, CoilCommand[0], now,
                          TimeStampText(now) + ExceptionReplyText(*refusal)});
        }
        outcome.ReceiveCaption = ReceiveCaptionPrefix + HexText(block);
    } else {
        ReceiveReadReply(block, now, outcome, decidedTicket);
    }
    {
        std::scoped_lock lock(Mutex);
        FReceiveCaption = outcome.ReceiveCaption;
    }
    NotifyDisplay();
    for (const TInfoLine& line : outcome.InfoLines)
        AddLine(line);
    if (decidedTicket)
        PollEvent.Set(*decidedTicket);
    if (coilRefused) {
        CoilRefused = true;
        CoilAnswered.Bump();
    }
    return outcome;
}

void TPollingRun::ReceiveReadReply(TByteSpan block, TDateTime now, TReceiveOutcome& outcome,
                                   std::optional<std::uint32_t>& decidedTicket) {
    using TState = TPendingRequest::TState;
    const std::int64_t arrivedAt = MonotonicNanoseconds();
    std::int32_t registerCount = 0;
    std::int32_t function = 0;
    TValueFormat format;
    std::int64_t timeoutNs = 0;
    {
        std::scoped_lock lock(Mutex);
        registerCount = CheckRegisterCount;
        function = CheckFunction;
        format = CheckFormat;
        timeoutNs = CheckTimeoutNs;
    }
    // The request in flight names the address the block is checked against;
    // with none, the address polled last.
    const TPendingRequest::TView taken = RequestPending.Take();
    const bool expected = taken.State == TState::Pending;
    const std::int32_t slave = taken.State != TState::None ? taken.Slave : CurrentSlave.load();
    // Read before the request can be decided: once it is, the next one may be marked.
    const std::int64_t handedOverAt = RequestPending.HandedOverAt();

    // Judged and signalled before any text is made: the poll thread goes on
    // with the next poll while this thread still describes the reply.
    const TReplyCheck check = CheckReadReply(block, registerCount, slave, function);
    std::optional<TModbusException> refusal;
    if (check == TReplyCheck::Length)
        refusal = MatchExceptionReply(block, slave, function);
    const bool answer = check == TReplyCheck::Good || refusal.has_value();
    bool decided = false;
    // The rule is the clock's, not the poll thread's: an answer after Poll
    // Timeout is late even when the poll thread has not woken yet to say so.
    // It then times the request out itself and wakes the poll thread, which
    // counts the failure.
    if (answer && taken.Open() && arrivedAt - handedOverAt > timeoutNs &&
        RequestPending.Expire(taken.Ticket, handedOverAt + timeoutNs) == TState::TimedOut)
        decidedTicket = taken.Ticket;
    else if (answer && taken.Open())
        decided = RequestPending.Resolve(
            taken.Ticket, check == TReplyCheck::Good ? TState::Good : TState::Refused);
    // An answer to a request whose wait has run out: never counted, never timed.
    const bool late = answer && !decided && (taken.State == TState::TimedOut || taken.Open());

    if (check == TReplyCheck::Good && !late) {
        std::vector<TDecodedValue> values = DecodeValues(block, registerCount, format);
        std::scoped_lock lock(Mutex);
        const std::optional<std::size_t> p = PositionOf(slave);
        if (decided && p && PollingActive)
            FResponseTimes[*p].Record(std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::nanoseconds(arrivedAt - handedOverAt)));
        // A good block with no request open (a second reply, or one outside a
        // run) is still the last good reply, as before; only a decided one
        // fills its row.
        if (decided && p) {
            std::vector<TValueStats>& stats = FValueStats[*p];
            for (std::size_t i = 0; i < values.size() && i < stats.size(); ++i)
                stats[i].Add(values[i].Number, CheckLimits.ValueLimit(i));
            RowValues[*p] = values;
        }
        RegisterValues = std::move(values);
    }
    // A good reply writes no line: its poll goes on at once. A refusal is
    // made known once its lines are queued.
    if (decided && check == TReplyCheck::Good)
        PollEvent.Set(taken.Ticket);
    else if (decided)
        decidedTicket = taken.Ticket;

    const std::string hex = HexText(block);
    outcome.ReceiveCaption = ReceiveCaptionPrefix + hex;
    const std::string dump = "[" + hex + "]";
    const auto line = [&](TInfoKind kind, std::string text) {
        outcome.InfoLines.push_back(TInfoLine{kind, slave, now, std::move(text)});
    };
    if (late) {
        const std::int64_t lateBy =
            std::max<std::int64_t>(0, arrivedAt - RequestPending.ExpiredAt());
        line(TInfoKind::Late, TimeStampText(now) + "[超时后应答!][站号:" + std::to_string(slave) +
                                  "][超时后" + std::to_string(lateBy / 1'000'000) + "ms]" + dump);
        if (refusal)
            line(TInfoKind::Exception, TimeStampText(now) + ExceptionReplyText(*refusal));
        return;
    }
    if (check == TReplyCheck::Good)
        return;

    std::string stamp = TimeStampText(now);
    if (!expected)
        stamp += "[异常接收!]";
    switch (check) {
    case TReplyCheck::Length:
        line(TInfoKind::Length, stamp + "[帧长度错误!]" + dump);
        if (refusal)
            line(TInfoKind::Exception, stamp + ExceptionReplyText(*refusal));
        break;
    case TReplyCheck::Slave:
        line(TInfoKind::Sent, SendCaption());
        line(TInfoKind::Slave,
             stamp + "[应答站号不符!][请求站号为:" + std::to_string(slave) + "]" + dump);
        break;
    case TReplyCheck::Crc:
        line(TInfoKind::Crc, stamp + "[CRC校验错误!]" + dump);
        break;
    case TReplyCheck::FunctionCode:
        line(TInfoKind::Function, stamp + "[接收帧功能码错误!]" + dump);
        break;
    case TReplyCheck::ByteCount:
        line(TInfoKind::ByteCount, stamp + "[数据长度错误!]" + dump);
        break;
    case TReplyCheck::Good:
        break;
    }
}

TInfoLine TPollingRun::DiscardedLine(const std::vector<char>& bytes, TDateTime now) {
    const TByteSpan span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return {TInfoKind::Discarded, std::nullopt, now,
            TimeStampText(now) + "[残留数据已丢弃!][" + HexText(span) + "]"};
}

std::string ResponseTipText(const TResponseStats& stats) {
    if (stats.Count() == 0)
        return {};
    return "响应时间 最小/平均/P99/最大: " + ResponseTimesText(stats, 1) + " ms";
}

void ApplyLinkDefaults(TComm& comm) {
    comm.SetInputLen(9);
    comm.SetCommName("COM1");
    comm.SetDtrControl(TComm::TDtrControl::DtrEnable);
    comm.SetRtsControl(TComm::TRtsControl::RtsEnable);
    comm.SetXonLimit(0);
    comm.SetXoffLimit(0);
    comm.SetByteSize(TComm::TByteSize::_8);
    comm.SetParity(TComm::TParity::None);
    comm.SetStopBits(TComm::TStopBits::_1);
    comm.SetXonChar(17);
    comm.SetXoffChar(19);
    comm.SetReplacedChar(0);
    comm.SetReadIntervalTimeout(0);
    comm.SetReadTotalTimeoutMultiplier(0);
    comm.SetReadTotalTimeoutConstant(0);
    comm.SetWriteTotalTimeoutMultiplier(0);
    comm.SetWriteTotalTimeoutConstant(0);
}

void ApplyCommSettings(TComm& comm, const TRunSettings& settings) {
    comm.SetCommName(settings.CommName);
    comm.SetBaudRate(static_cast<std::uint32_t>(settings.BaudRate));
    if (settings.FixedInterval()) {
        // Fixed interval: a reply ends when the line has been quiet for longer than ReadInterval.
        comm.SetReadIntervalTimeout(static_cast<std::uint32_t>(settings.ReadInterval));
        comm.SetInputLen(comm.InBufferSize());
        comm.SetBlockEndRule(nullptr);
    } else {
        // Fixed length: a reply ends with its expected length, and an exception
        // reply, shorter than any read reply, with its own five bytes.
        comm.SetReadIntervalTimeout(0);
        comm.SetInputLen(static_cast<std::uint16_t>(ExpectedReplyLength(settings.RegisterCount)));
        comm.SetBlockEndRule(&IsExceptionFrame);
    }
    comm.SetRtsControl(settings.Rs485 ? TComm::TRtsControl::RtsTransmissionAvailable
                                      : TComm::TRtsControl::RtsEnable);
    ApplyLineFraming(comm, settings.Parity, settings.StopBits);
}

void ApplyLineFraming(TComm& comm, TLineParity parity, std::int32_t stopBits) {
    comm.SetParity(parity == TLineParity::Even  ? TComm::TParity::Even
                   : parity == TLineParity::Odd ? TComm::TParity::Odd
                                                : TComm::TParity::None);
    // A line with parity has it checked too: a character that fails the check
    // reaches the reply checks as a damaged byte rather than as a good one.
    comm.SetParityCheck(parity != TLineParity::None);
    comm.SetStopBits(stopBits == 2 ? TComm::TStopBits::_2 : TComm::TStopBits::_1);
}

std::optional<TInfoLine> DirectionControlLine(const TComm& comm, TDateTime now) {
    if (comm.DirectionControlError().empty())
        return std::nullopt;
    return TInfoLine{TInfoKind::Other, std::nullopt, now,
                     TimeStampText(now) + "[RS-485方向控制不可用!][" +
                         comm.DirectionControlError() + "]"};
}

std::int32_t DivideRoundHalfEven(std::int64_t value, std::int64_t divisor) {
    if (divisor < 0) {
        value = -value;
        divisor = -divisor;
    }
    std::int64_t quotient = value / divisor;
    const std::int64_t twiceRest = 2 * (value % divisor);
    if (twiceRest > divisor || (twiceRest == divisor && quotient % 2 != 0))
        ++quotient;
    else if (twiceRest < -divisor || (twiceRest == -divisor && quotient % 2 != 0))
        --quotient;
    return static_cast<std::int32_t>(quotient);
}
