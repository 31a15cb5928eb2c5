#include "TPollingRun.h"

#include "ModbusException.h"
#include "TComm.h"
#include "TPollThread.h"
#include "TSysParam.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr const char* ReceiveCaptionPrefix = "接收: ";

// Counts wrap instead of overflowing; at thousands of polls a second a count
// reaches its limit only after months.
std::int32_t Incremented(std::int32_t count) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1U);
}

// Largest read a Modbus slave answers (function 3 carries 1 to 125 registers).
constexpr std::int32_t MaxRegisterCount = 125;

constexpr int ReadFunctionCode = 0x03;

} // namespace

std::string TPollingRun::SettingsError() const {
    const std::int32_t from = ParamPollFrom->AsInteger();
    const std::int32_t to = ParamPollTo->AsInteger();
    const std::int32_t count = ParamRegisterCount->AsInteger();
    if (from > to)
        return "起始从机地址(" + std::to_string(from) + ")大于结束从机地址(" + std::to_string(to) +
               ")，无法开始运行！";
    // The range the address boxes offer: 0 would be the broadcast, which no
    // slave answers, and an address is one byte on the wire.
    if (from < 1 || to > 254)
        return "从机地址范围(" + std::to_string(from) + "-" + std::to_string(to) +
               ")超出1到254，无法开始运行！";
    if (count < 1 || count > MaxRegisterCount)
        return "请求寄存器数量(" + std::to_string(count) + ")超出1到" +
               std::to_string(MaxRegisterCount) + "，无法开始运行！";
    return {};
}

TRunLayout TPollingRun::Layout() const {
    TRunLayout layout;
    layout.PollFrom = ParamPollFrom->AsInteger();
    layout.PollTo = ParamPollTo->AsInteger();
    const std::int64_t positions = std::int64_t{layout.PollTo} - layout.PollFrom + 1;
    layout.Positions = positions > 0 ? static_cast<std::size_t>(positions) : 0;
    layout.ValueColumns = std::max(0, ParamRegisterCount->AsInteger() / 2);
    return layout;
}

void TPollingRun::Start(TPollHost& host, TSteadyTime now) {
    if (State.PollThread)
        throw std::logic_error("a polling run is already on");
    const TRunLayout layout = Layout();
    if (layout.Positions == 0)
        throw std::logic_error("a polling run needs Poll From <= Poll To");
    // Counts carry over into a run of the same range; a count made for another
    // address would be shown as this one's.
    const std::pair range{layout.PollFrom, layout.PollTo};
    if (State.CountsRange != range) {
        State.OkCounts.clear();
        State.FailCounts.clear();
        State.ResponseTimes.clear();
        State.CountsRange = range;
    }
    State.OkCounts.resize(layout.Positions);
    State.FailCounts.resize(layout.Positions);
    State.ResponseTimes.resize(layout.Positions);
    State.TakeResponseTime(); // nothing handed over before this run is timed in it
    State.RateBaseOkCount = State.OkCounts[0];
    State.PollStartTime = now;
    State.PollEvent = std::make_unique<TPollEvent>();
    State.LineHold.Release();
    const std::uint32_t runId = ++State.RunId;
    State.PollingActive = true;
    State.PollThread = std::make_unique<TPollThread>(State, *State.PollEvent, host, runId);
}

void TPollingRun::Stop() {
    State.PollingActive = false;
    if (State.PollThread) {
        State.PollThread->Terminate();
        State.PollThread->WaitFor();
        State.PollThread.reset();
    }
    State.PollEvent.reset();
    State.TakeResponseTime();
}

TReceiveOutcome TPollingRun::ReceiveData(TByteSpan block, TDateTime now) {
    TReceiveOutcome outcome;

    if (State.CoilCommandMode) {
        outcome.ReceiveCaption = ReceiveCaptionPrefix + HexText(block);
        if (IsCoilEcho(block, State.CoilCommand)) {
            State.CoilAck = true;
            outcome.EchoAccepted = true;
        } else if (const auto refusal =
                       MatchExceptionReply(block, State.CoilCommand[0], State.CoilCommand[1])) {
            // The command was refused, not lost: say why before the time-out line.
            outcome.InfoLines.push_back(
                TInfoLine{TInfoKind::Exception, State.CoilCommand[0], now,
                          TimeStampText(now) + ExceptionReplyText(*refusal)});
        }
        return outcome;
    }

    // The pending request names the address the reply is checked against; a
    // block with none pending is checked against the address polled last.
    const std::optional<TPendingRequest::TTaken> pending = State.RequestPending.Take();
    const bool expected = pending.has_value();
    const std::int32_t slave = expected ? pending->Slave : State.CurrentSlave.load();
    // Checked and signalled before any text is made: the poll thread goes on
    // with the next poll while this thread still shows the reply.
    std::vector<std::int32_t> values;
    const TReplyCheck check = CheckReadReply(block, ParamRegisterCount->AsInteger(), slave, values);
    if (check == TReplyCheck::Good) {
        State.RegisterValues = std::move(values);
        RecordResponseTime(slave);
        // Signalled for the request this block answers: the pending one, or the
        // one an earlier block of noise took. A reply to an older request then
        // ends no later request's wait, however it meets that request's start.
        if (State.PollEvent)
            State.PollEvent->Set(State.RequestPending.LastTaken());
    }

    const std::string hex = HexText(block);
    outcome.ReceiveCaption = ReceiveCaptionPrefix + hex;
    if (check == TReplyCheck::Good)
        return outcome;

    std::string stamp = TimeStampText(now);
    if (!expected)
        stamp += "[异常接收!]";
    const std::string dump = "[" + hex + "]";
    const auto line = [&](TInfoKind kind, std::string text) {
        outcome.InfoLines.push_back(TInfoLine{kind, slave, now, std::move(text)});
    };
    switch (check) {
    case TReplyCheck::Length:
        line(TInfoKind::Length, stamp + "[帧长度错误!]" + dump);
        if (const auto refusal = MatchExceptionReply(block, slave, ReadFunctionCode))
            line(TInfoKind::Exception, stamp + ExceptionReplyText(*refusal));
        break;
    case TReplyCheck::Slave:
        line(TInfoKind::Sent, State.SendCaption());
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
    return outcome;
}

std::optional<TRowUpdate> TPollingRun::PollResult(std::uint32_t runId, std::int32_t slave,
                                                  std::int32_t result) {
    if (!State.PollingActive || runId != State.RunId)
        return std::nullopt;
    const std::int64_t position = std::int64_t{slave} - ParamPollFrom->AsInteger();
    if (position < 0 || position >= static_cast<std::int64_t>(State.OkCounts.size()))
        return std::nullopt;
    const auto p = static_cast<std::size_t>(position);

    TRowUpdate update;
    update.Row = p;
    if (result == PollResultGood) {
        const auto columns =
            static_cast<std::size_t>(std::max(0, ParamRegisterCount->AsInteger() / 2));
        const std::size_t shown = std::min(columns, State.RegisterValues.size());
        for (std::size_t i = 0; i < shown; ++i)
            update.ValueCells.push_back(std::to_string(State.RegisterValues[i]));
        State.OkCounts[p] = Incremented(State.OkCounts[p]);
    } else {
        update.TimedOut = true;
        State.FailCounts[p] = Incremented(State.FailCounts[p]);
    }
    update.OkText = std::to_string(State.OkCounts[p]);
    update.FailText = std::to_string(State.FailCounts[p]);
    return update;
}

void TPollingRun::RecordResponseTime(std::int32_t slave) {
    // Only the first good reply after a hand-over is timed: a second one, or
    // one outside a run, has no request of its own.
    const std::optional<std::chrono::microseconds> elapsed = State.TakeResponseTime();
    if (!elapsed || !State.PollingActive)
        return;
    const std::int64_t position = std::int64_t{slave} - ParamPollFrom->AsInteger();
    if (position >= 0 && position < static_cast<std::int64_t>(State.ResponseTimes.size()))
        State.ResponseTimes[static_cast<std::size_t>(position)].Record(*elapsed);
}

const TResponseStats& TPollingRun::ResponseTimes(std::size_t position) const {
    static const TResponseStats none;
    return position < State.ResponseTimes.size() ? State.ResponseTimes[position] : none;
}

void TPollingRun::ResetCounts() {
    std::fill(State.OkCounts.begin(), State.OkCounts.end(), 0);
    std::fill(State.FailCounts.begin(), State.FailCounts.end(), 0);
    for (TResponseStats& stats : State.ResponseTimes)
        stats.Clear();
    // The count of position 0 restarts from 0, so the base does too; otherwise
    // no sample would be taken until the count had passed its old value.
    State.RateBaseOkCount = 0;
}

std::string TPollingRun::StatusText(TSteadyTime now) {
    std::int64_t s = 0;
    if (State.PollStartTime) {
        const auto elapsed = now - *State.PollStartTime;
        s = std::chrono::duration_cast<std::chrono::seconds>(elapsed < elapsed.zero() ? -elapsed
                                                                                      : elapsed)
                .count();
    }
    if (s == 0) {
        State.RateOkDelta = 0;
        State.RateSampleSecond = 0;
    }

    std::string text = "已测试: ";
    if (s < 60)
        text += std::to_string(s) + "秒";
    else if (s < 3600)
        text += std::to_string(s / 60) + "分" + std::to_string(s % 60) + "秒";
    else
        text += std::to_string(s / 3600) + "小时" + std::to_string(s % 3600 / 60) + "分" +
                std::to_string(s % 60) + "秒";

    const std::int32_t firstOk = State.OkCounts.empty() ? 0 : State.OkCounts[0];
    if (s != 0 && s % 10 == 0 && s != State.RateSampleSecond && firstOk > State.RateBaseOkCount) {
        State.RateOkDelta = firstOk - State.RateBaseOkCount;
        State.RateBaseOkCount = firstOk;
        State.RateSampleSecond = static_cast<std::int32_t>(s);
    }

    if (s >= 10)
        text +=
            " 通讯频率: " + std::to_string(DivideRoundHalfEven(State.RateOkDelta, 10)) + "次/秒";
    return text;
}

std::string TPollingRun::StartTimeText(TDateTime now) {
    return "开始测试时间: " + DateTimeText(now);
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

TInfoLine TPollingRun::DiscardedLine(const std::vector<char>& bytes, TDateTime now) {
    const TByteSpan span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return {TInfoKind::Discarded, std::nullopt, now,
            TimeStampText(now) + "[残留数据已丢弃!][" + HexText(span) + "]"};
}

void ApplyCommSettings(TComm& comm) {
    comm.SetCommName(ParamCommPort->AsString());
    comm.SetBaudRate(static_cast<std::uint32_t>(ParamBaudRate->AsInteger()));
    if (ParamFrameBreakMode->AsInteger() == 1) {
        // Fixed interval: a reply ends when the line has been quiet for longer than ReadInterval.
        comm.SetReadIntervalTimeout(static_cast<std::uint32_t>(ParamReadInterval->AsInteger()));
        comm.SetInputLen(comm.InBufferSize());
    } else {
        // Fixed length: a reply ends with its expected length.
        comm.SetReadIntervalTimeout(0);
        comm.SetInputLen(
            static_cast<std::uint16_t>(ExpectedReplyLength(ParamRegisterCount->AsInteger())));
    }
}

TPortSettings CurrentPortSettings() {
    return {ParamCommPort->AsString(), ParamBaudRate->AsInteger(), ParamFrameBreakMode->AsInteger(),
            ParamReadInterval->AsInteger(), ParamRegisterCount->AsInteger()};
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
