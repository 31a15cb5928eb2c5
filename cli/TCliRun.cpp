#include "TCliRun.h"

#include "FileReplace.h"
#include "TCliReport.h"
#include "TComm.h"
#include "TLinkKeeper.h"
#include "TPollingRun.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TNoticeQueue.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <thread>

namespace {

using TSteady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto StatusPeriod = 500ms;
constexpr auto PumpSlice = 10ms;   // how late Ctrl-C, the deadline or a lost port is noticed
constexpr auto CoilWait = 500ms;   // as the window waits for an echo
constexpr auto PortSettle = 100ms; // as the window pauses after opening for a coil command
constexpr std::uint16_t CoilEchoLength = 8;

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

/// Why the settings cannot drive a job, naming where each value came from;
/// empty when they can.
std::string SettingsProblem(const TCliOptions& options, const std::string& configPath) {
    const auto source = [&](bool given, const char* option, const char* key) {
        if (given)
            return std::string(option);
        // Appended piece by piece: "'" + std::string(key) trips a false -Wrestrict in g++ 12.
        std::string text = "'";
        text.append(key).append("' in ").append(configPath);
        text.append(" (or ").append(option).append(")");
        return text;
    };
    struct TCheck {
        const TSysParam* Param;
        bool Given;
        const char* Option;
        TSettingRange Range;
    };
    const bool interval = ParamFrameBreakMode->AsInteger() == 1;
    const TCheck checks[] = {
        {ParamBaudRate, options.Baud.has_value(), "--baud", BaudRange},
        {ParamPollFrom, options.From.has_value(), "--from", SlaveRange},
        {ParamPollTo, options.To.has_value(), "--to", SlaveRange},
        {ParamRegisterBegin, options.RegisterBegin.has_value(), "--register-begin",
         RegisterBeginRange},
        {ParamRegisterCount, options.RegisterCount.has_value(), "--register-count",
         RegisterCountRange},
        {ParamPollTimeout, options.Timeout.has_value(), "--timeout", TimeoutRange},
        {ParamPollInterval, options.Interval.has_value(), "--interval", IntervalRange},
        {interval ? ParamReadInterval : nullptr, options.ReadInterval.has_value(),
         "--read-interval", ReadIntervalRange},
    };
    // A value the file holds that is no number is refused, never replaced by
    // the default in silence; an option given for the key makes it moot.
    for (const TCheck& check : checks)
        if (check.Param != nullptr && !check.Given && check.Param->InvalidText())
            return source(false, check.Option, check.Param->Key().c_str()) + " is '" +
                   *check.Param->InvalidText() + "', not a number";
    if (!options.FrameBreak && ParamFrameBreakMode->InvalidText())
        return source(false, "--frame-break", "FrameBreakMode") + " is '" +
               *ParamFrameBreakMode->InvalidText() + "', not a number";
    for (const TCheck& check : checks) {
        if (check.Param == nullptr)
            continue;
        const std::int32_t value = check.Param->AsInteger();
        if (value < check.Range.Min || value > check.Range.Max)
            return source(check.Given, check.Option, check.Param->Key().c_str()) + " is " +
                   std::to_string(value) + ", outside " + std::to_string(check.Range.Min) + " to " +
                   std::to_string(check.Range.Max);
    }
    if (ParamPollFrom->AsInteger() > ParamPollTo->AsInteger())
        return source(options.From.has_value(), "--from", "Poll From") + " (" +
               std::to_string(ParamPollFrom->AsInteger()) + ") is above " +
               source(options.To.has_value(), "--to", "Poll To") + " (" +
               std::to_string(ParamPollTo->AsInteger()) + ")";
    if (ParamCommPort->AsString().empty())
        return "no serial port: " + source(false, "--port", "Comm Port") + " is empty";
    return {};
}

void ApplyOverrides(const TCliOptions& o) {
    // The file is read-only here: these change the values in memory only.
    if (o.Port)
        ParamCommPort->SetValue(*o.Port);
    const std::pair<const std::optional<std::int32_t>&, TSysParam*> integers[] = {
        {o.Baud, ParamBaudRate},
        {o.From, ParamPollFrom},
        {o.To, ParamPollTo},
        {o.RegisterBegin, ParamRegisterBegin},
        {o.RegisterCount, ParamRegisterCount},
        {o.Timeout, ParamPollTimeout},
        {o.Interval, ParamPollInterval},
        {o.FrameBreak, ParamFrameBreakMode},
        {o.ReadInterval, ParamReadInterval}};
    for (const auto& [value, param] : integers)
        if (value)
            param->SetValue(*value);
}

TCliSettings CurrentSettings() {
    TCliSettings s;
    s.Port = ParamCommPort->AsString();
    s.Baud = ParamBaudRate->AsInteger();
    s.From = ParamPollFrom->AsInteger();
    s.To = ParamPollTo->AsInteger();
    s.RegisterBegin = ParamRegisterBegin->AsInteger();
    s.RegisterCount = ParamRegisterCount->AsInteger();
    s.TimeoutMs = ParamPollTimeout->AsInteger();
    s.IntervalMs = ParamPollInterval->AsInteger();
    s.FrameBreak = ParamFrameBreakMode->AsInteger() == 1 ? 1 : 0;
    s.ReadIntervalMs = ParamReadInterval->AsInteger();
    return s;
}

/// The serial link, the run and the notice queue of one job; the
/// calling thread pumps the queue and so plays the window thread.
class TCliSession {
public:
    TCliSession(std::ostream& err, bool statusLine, bool rs485,
                const std::atomic<bool>& interrupted, TCliResult& result)
        : Err(err), StatusLine(statusLine), Rs485(rs485), Interrupted(interrupted), Result(result),
          Host(
              Comm, Queue,
              [this](std::uint32_t runId, std::int32_t slave, std::int32_t outcome) {
                  OnPollResult(runId, slave, outcome);
              },
              {},
              [this](const std::vector<char>& bytes) {
                  ErrorLine(TPollingRun::DiscardedLine(bytes, SystemClock().Now()));
              }) {
        // Counted, not shown, as results come: the loop takes them with the
        // next reply and does not wake for each one.
        Host.SetQuietResults(true);
        ApplyLinkDefaults(Comm);
        Comm.OnReceiveData = [this](TComm&, const char* buffer, std::uint16_t length) {
            OnReceiveData(buffer, length);
        };
    }

    ~TCliSession() {
        if (Run.Running())
            Run.Stop();
        Comm.ClosePort();
    }
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    /// A polling run until the cycles are done, the time is up, Ctrl-C or a lost port.
    int Poll(const TCliOptions& options) {
        if (!Open(false))
            return ExitPort;
        const TRunLayout layout = Run.Layout();
        Cycles = options.Cycles;
        Values.assign(layout.Positions, {});
        const TSteady::time_point start = TSteady::now();
        const TSteady::time_point deadline =
            options.DurationSeconds
                ? start + std::chrono::duration_cast<TSteady::duration>(
                              std::chrono::duration<double>(*options.DurationSeconds))
                : TSteady::time_point::max();
        Run.Start(Host, SystemClock().Steady());
        Link.RunStarted();

        TSteady::time_point nextStatus = start;
        TSteady::time_point now = start;
        while (!Finished && !Interrupted && now < deadline) {
            Queue.WaitAndRun(std::chrono::ceil<std::chrono::milliseconds>(
                std::min<TSteady::duration>(PumpSlice, deadline - now)));
            now = TSteady::now();
            if (StatusLine && now >= nextStatus) {
                ShowStatus(now - start);
                nextStatus = now + StatusPeriod;
            }
        }
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const bool interrupted = !Finished && Interrupted && now < deadline;
        // A vanished port is opened again while the run lasts; still gone now, it is lost.
        const bool lost = Link.Reconnecting();
        Run.Stop();
        Link.RunStopped();
        ClearStatus();
        Comm.ClosePort();

        Result.Ran = true;
        Result.ElapsedSeconds = elapsed;
        Result.Polls = OkPolls + FailPolls;
        Result.ValueColumns = layout.ValueColumns;
        for (std::size_t p = 0; p < layout.Positions; ++p) {
            TCliSlave slave;
            slave.Id = layout.PollFrom + static_cast<std::int32_t>(p);
            slave.Ok = RunState.OkCounts[p];
            slave.Fail = RunState.FailCounts[p];
            slave.Values = Values[p];
            slave.Times = Run.ResponseTimes(p);
            Result.Slaves.push_back(std::move(slave));
        }
        if (lost) {
            Err << "quellmark-cli: the port " << ParamCommPort->AsString()
                << " was lost and did not come back before the end of the run\n";
            return ExitPort;
        }
        if (interrupted) {
            Result.Interrupted = true;
            Err << "quellmark-cli: interrupted before the end of the run\n";
            return ExitInterrupted;
        }
        return FailPolls > 0 ? ExitSomeFailed : ExitAllGood;
    }

    /// One coil command to Poll From, waiting for its echo as the window does.
    int Coil(TCoilAction action) {
        if (!Open(true))
            return ExitPort;
        std::this_thread::sleep_for(PortSettle);
        const std::int32_t slave = ParamPollFrom->AsInteger() & 0xFF;
        RunState.CoilCommand = BuildCoilCommand(slave, action);
        RunState.CoilAck = false;
        RunState.CoilTimedOut = false;
        // Bytes left on the line must not be taken for the echo, nor shift its block.
        if (const std::vector<char> dropped = Comm.DiscardInput(); !dropped.empty())
            ErrorLine(TPollingRun::DiscardedLine(dropped, SystemClock().Now()));
        RunState.CoilCommandMode = true;
        Comm.SendBytes(RunState.CoilCommand.data(),
                       static_cast<std::uint16_t>(RunState.CoilCommand.size()));
        const bool echoed = Queue.RunUntil([] { return RunState.CoilAck.load(); }, CoilWait);
        RunState.CoilCommandMode = false;
        RunState.CoilTimedOut = !echoed;
        Result.Coil = TCliCoil{action, slave, echoed};
        const bool zero = action == TCoilAction::Zero;
        ErrorLine(TInfoLine{TInfoKind::Other, slave, SystemClock().Now(),
                            echoed ? (zero ? "清零成功！" : "反清零成功！")
                                   : (zero ? "清零超时！" : "反清零超时！")});
        // The link lets go of a vanished port at once.
        const bool lost = !Comm.PortOpen();
        Comm.ClosePort();
        if (lost) {
            Err << "quellmark-cli: the port " << ParamCommPort->AsString() << " was lost\n";
            return ExitPort;
        }
        return echoed ? ExitAllGood : ExitSomeFailed;
    }

private:
    bool Open(bool forCoil) {
        ApplyCommSettings(Comm);
        if (Rs485)
            Comm.SetRtsControl(TComm::TRtsControl::RtsTransmissionAvailable);
        // In fixed-length mode the reader cuts blocks of a read reply's length,
        // which an 8-byte echo never fills: a coil command alone waits for 8.
        if (forCoil && ParamFrameBreakMode->AsInteger() != 1)
            Comm.SetInputLen(CoilEchoLength);
        // A failure is a line with the system's reason, from the link keeper.
        if (Link.OpenPort()) {
            if (const std::optional<TInfoLine> line =
                    DirectionControlLine(Comm, SystemClock().Now()))
                ErrorLine(*line);
            return true;
        }
        // The system's own reason, as the Chinese line above gives it.
        Err << "quellmark-cli: cannot open the port " << ParamCommPort->AsString() << ": "
            << Trimmed(Comm.PortOpenError());
        if (const TDeviceError& failure = Comm.OpenFailure()) {
            Err << ": " << failure.Text;
            if (failure.Code != 0)
                Err << " (" << failure.Code << ")";
        }
        Err << '\n';
        return false;
    }

    void OnReceiveData(const char* buffer, std::uint16_t length) {
        const TReceiveOutcome outcome = Run.ReceiveData(
            TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length), SystemClock().Now());
        for (const TInfoLine& line : outcome.InfoLines)
            ErrorLine(line);
    }

    void OnPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t outcome) {
        if (Finished)
            return; // the last pass is complete; what the thread sends meanwhile is not counted
        const std::optional<TRowUpdate> update = Run.PollResult(runId, slave, outcome);
        if (!update)
            return;
        if (update->TimedOut) {
            ++FailPolls;
        } else {
            ++OkPolls;
            Values[update->Row] = update->ValueCells;
        }
        if (Cycles && slave == ParamPollTo->AsInteger() && ++Passes >= *Cycles)
            Finished = true;
    }

    /// A line of the error list: on standard error at once, and kept for the
    /// result while the kept lines stay within their bounds (the oldest are kept).
    void ErrorLine(const TInfoLine& line) {
        ClearStatus();
        Err << line.Text << '\n' << std::flush;
        KeepErrorLine(Result, line);
    }

    void ShowStatus(TSteady::duration elapsed) {
        const double seconds = std::chrono::duration<double>(elapsed).count();
        const std::int64_t polls = OkPolls + FailPolls;
        char text[160];
        std::snprintf(text, sizeof text,
                      "elapsed %.1f s  polls %lld  OK %lld  FAIL %lld  %.1f polls/s", seconds,
                      static_cast<long long>(polls), static_cast<long long>(OkPolls),
                      static_cast<long long>(FailPolls),
                      seconds > 0 ? static_cast<double>(polls) / seconds : 0.0);
        const std::size_t width = std::strlen(text);
        Err << '\r' << text;
        if (width < StatusWidth)
            Err << std::string(StatusWidth - width, ' ');
        Err << std::flush;
        StatusWidth = width;
    }

    void ClearStatus() {
        if (StatusWidth == 0)
            return;
        Err << '\r' << std::string(StatusWidth, ' ') << '\r' << std::flush;
        StatusWidth = 0;
    }

    std::ostream& Err;
    bool StatusLine;
    bool Rs485;
    const std::atomic<bool>& Interrupted;
    TCliResult& Result;

    // The queue outlives the link, whose notices it may still hold.
    TManualNoticeQueue Queue;
    TComm Comm{Queue};
    TPollingRun Run{RunState};
    TQueuePollHost Host;
    TLinkKeeper Link{Comm, Queue, [this](const TInfoLine& line) { ErrorLine(line); }};

    std::optional<std::int64_t> Cycles;
    std::int64_t Passes = 0;
    bool Finished = false;
    std::int64_t OkPolls = 0;
    std::int64_t FailPolls = 0;
    std::vector<std::vector<std::string>> Values;
    std::size_t StatusWidth = 0;
};

/// Whether the settings file can be read, looked at as the window does (a
/// FIFO or a folder is refused at once, never waited on); absent is fine only
/// for the default path, and then `read` stays false.
std::string ConfigProblem(const std::string& path, bool given, bool& read) {
    const TFileContent content = ReadFileContent(path);
    read = content.Outcome == TReadOutcome::Read;
    switch (content.Outcome) {
    case TReadOutcome::Read:
        return {};
    case TReadOutcome::Absent:
        return given ? "cannot read --config " + path + ": no such file" : std::string();
    case TReadOutcome::Unreadable:
        break;
    }
    return "cannot read " + path + ": " + content.Error.message();
}

} // namespace

int RunCliJob(const TCliOptions& options, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted, bool statusLine) {
    const std::string configPath = options.ConfigPath.value_or(DefaultConfigPath());
    bool configRead = false;
    if (const std::string problem =
            ConfigProblem(configPath, options.ConfigPath.has_value(), configRead);
        !problem.empty()) {
        err << "quellmark-cli: " << problem << '\n';
        return ExitUsage;
    }
    try {
        LoadParams(configPath, TIniFile::TAccess::ReadOnly);
    } catch (const EIniError& error) {
        err << "quellmark-cli: " << error.what();
        if (error.Reason())
            err << ": " << error.Reason().message();
        err << '\n';
        return ExitUsage;
    }
    ApplyOverrides(options);
    if (const std::string problem = SettingsProblem(options, configPath); !problem.empty()) {
        err << "quellmark-cli: " << problem << '\n';
        return ExitUsage;
    }
    if (!options.WantsRun() && !options.Coil) {
        err << "quellmark-cli: say how long to poll (--cycles N or --duration SECONDS), or "
               "give --zero or --unzero\nTry 'quellmark-cli --help'.\n";
        return ExitUsage;
    }

    TCliResult result;
    result.Settings = CurrentSettings();
    result.Version = QUELLMARK_VERSION;
    result.Started = SystemClock().Now();
    if (configRead)
        result.ConfigPath = configPath;
    result.Cycles = options.Cycles;
    result.DurationSeconds = options.DurationSeconds;
    int code = ExitAllGood;
    {
        TCliSession session(err, statusLine, options.Rs485, interrupted, result);
        if (options.WantsRun())
            code = session.Poll(options);
        if (options.Coil && code != ExitPort) {
            const int coil = session.Coil(*options.Coil);
            // An interruption or a lost port says more than a failed command.
            if (code == ExitAllGood || code == ExitSomeFailed)
                code = std::max(code, coil);
        }
    }
    result.ExitCode = code;
    switch (options.Format) {
    case TCliFormat::Table:
        out << TableText(result);
        break;
    case TCliFormat::Json:
        out << JsonText(result);
        break;
    case TCliFormat::Csv:
        out << CsvText(result);
        break;
    }
    out << std::flush;
    return code;
}
