#include "TCliRun.h"

#include "FileReplace.h"
#include "TCliReport.h"
#include "TCliScan.h"
#include "TNoticeQueue.h"
#include "TRunSession.h"
#include "TSettingsTable.h"
#include "TStatusLine.h"
#include "TSysParam.h"

#include <cstdio>
#include <deque>
#include <ostream>

namespace {

using TSteady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto StatusPeriod = 500ms;
// How late Ctrl-C, the deadline, a lost port or the moment of a command is
// noticed, whatever the queue holds.
constexpr auto PumpSlice = 10ms;
// The longest a command can take: the poll in flight (at most 10 s), the
// pause after opening, the echo.
constexpr auto LongestCoil = 12s;
// How long error lines may take to reach standard error: a turn of the loop,
// and the end of the job. A terminal slower than a flooding device does not
// hold up the clock; what it could not take is counted, and kept in the record.
constexpr auto LineWriteSlice = 5ms;
constexpr auto LastLineWrite = 500ms;
constexpr std::size_t MaxUnwrittenBytes = std::size_t{16} << 20;

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

/// An option that sets one setting of Config.ini.
struct TOverride {
    TSettingId Id;
    const std::optional<std::int32_t>& Value;
    const char* Option;
};

/// Why the settings cannot drive a job, naming where each value came from;
/// empty when they can.
std::string SettingsProblem(const std::string& configPath, std::span<const TOverride> overrides) {
    const auto source = [&](const TOverride& o) {
        if (o.Value)
            return std::string(o.Option);
        // Appended piece by piece: "'" + std::string(key) trips a false -Wrestrict in g++ 12.
        std::string text = "'";
        text.append(SettingEntry(o.Id).Key).append("' in ").append(configPath);
        text.append(" (or ").append(o.Option).append(")");
        return text;
    };
    // A value the file holds that is no number is refused, never replaced by
    // the default in silence; an option given for the key makes it moot.
    for (const TOverride& o : overrides)
        if (!o.Value && SettingParam(o.Id)->InvalidText())
            return source(o) + " is '" + *SettingParam(o.Id)->InvalidText() + "', not a number";
    const bool interval = ParamFrameBreakMode->AsInteger() == 1;
    for (const TOverride& o : overrides) {
        if (o.Id == TSettingId::FrameBreakMode || (o.Id == TSettingId::ReadInterval && !interval))
            continue;
        const TSettingEntry& entry = SettingEntry(o.Id);
        const std::int32_t value = SettingParam(o.Id)->AsInteger();
        if (value < entry.Min || value > entry.Max)
            return source(o) + " is " + std::to_string(value) + ", outside " +
                   std::to_string(entry.Min) + " to " + std::to_string(entry.Max);
    }
    if (ParamPollFrom->AsInteger() > ParamPollTo->AsInteger())
        return source(overrides[1]) + " (" + std::to_string(ParamPollFrom->AsInteger()) +
               ") is above " + source(overrides[2]) + " (" +
               std::to_string(ParamPollTo->AsInteger()) + ")";
    if (const std::optional<std::string> parity = ParityProblem())
        return "'Parity' in " + configPath + " (or --parity) is '" + *parity +
               "', not a parity (N, E or O)";
    if (const std::optional<std::string> format = ValueFormatProblem())
        return "'Value Format' in " + configPath + " (or --format) is '" + *format +
               "', not a value format (" + ValueFormatsText() + ")";
    if (ParamCommPort->AsString().empty())
        return "no serial port: 'Comm Port' in " + configPath + " (or --port) is empty";
    return {};
}

/// The serial link, the run and the notice queue of one job; the calling
/// thread pumps the queue and so plays the owning loop.
class TCliSession final : private TRunListener {
public:
    TCliSession(std::ostream& err, bool statusLine, const std::atomic<bool>& interrupted,
                TCliResult& result)
        : Err(err), StatusLine(statusLine), Interrupted(interrupted), Result(result) {}

    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    /// A polling run until the cycles are done, the time is up, Ctrl-C or a
    /// lost port; with `coilAt`, a coil command goes on the line at that
    /// moment of the run, as when the button is pressed in the window.
    int Poll(const TCliOptions& options, const TRunSettings& settings) {
        if (!Open(settings))
            return ExitPort;
        const TRunLayout layout = TPollingRun::Layout(settings);
        const TSteady::time_point start = TSteady::now();
        const TSteady::time_point deadline =
            options.DurationSeconds
                ? start + std::chrono::duration_cast<TSteady::duration>(
                              std::chrono::duration<double>(*options.DurationSeconds))
                : TSteady::time_point::max();
        std::optional<TSteady::time_point> coilAt;
        if (options.Coil && options.CoilAfterSeconds)
            coilAt = start + std::chrono::duration_cast<TSteady::duration>(
                                 std::chrono::duration<double>(*options.CoilAfterSeconds));
        Session.StartRun(settings, options.Cycles);

        TSteady::time_point nextStatus = start;
        TSteady::time_point now = start;
        while (!Session.Run.Ended() && !Interrupted && now < deadline) {
            TSteady::time_point until = std::min(now + PumpSlice, deadline);
            if (coilAt && !CoilStarted)
                until = std::min(until, std::max(now, *coilAt));
            Queue.WaitAndRun(std::chrono::ceil<std::chrono::milliseconds>(until - now));
            now = TSteady::now();
            if (coilAt && !CoilStarted && now >= *coilAt && !StartCoil(*options.Coil, settings))
                Result.Coil = TCliCoil{*options.Coil, settings.PollFrom & 0xFF, false};
            WriteLines(TSteady::now() + LineWriteSlice);
            if (StatusLine && now >= nextStatus) {
                ShowStatus(now - start);
                nextStatus = now + StatusPeriod;
            }
        }
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const bool interrupted = !Session.Run.Ended() && Interrupted && now < deadline;
        // A vanished port is opened again while the run lasts; still gone now, it is lost.
        const bool lost = Session.Link.Reconnecting();
        Session.StopRun();
        // A command on the line finishes on the open port before it closes.
        if (CoilStarted)
            Queue.RunUntil([this] { return Result.Coil.has_value(); }, LongestCoil);
        // Closed before the last lines are taken: a flooding device adds none after.
        Session.ClosePort();
        Queue.RunPending();
        FinishLines();

        Result.Ran = true;
        Result.ElapsedSeconds = elapsed;
        const auto [ok, fail] = Session.Run.Totals();
        Result.Polls = ok + fail;
        Result.ValueColumns = layout.ValueColumns;
        bool judgedFail = false;
        for (std::size_t p = 0; p < layout.Positions; ++p) {
            const TRowSnapshot row = Session.Run.Row(p);
            TCliSlave slave;
            slave.Id = layout.PollFrom + static_cast<std::int32_t>(p);
            slave.Ok = static_cast<std::uint32_t>(row.Ok);
            slave.Fail = static_cast<std::uint32_t>(row.Fail);
            slave.Values = row.ValueCells;
            slave.ValuesJson = row.ValueJson;
            slave.Stats = row.Stats;
            slave.Verdict = row.Verdict;
            judgedFail = judgedFail || (row.Verdict && !row.Verdict->Pass);
            slave.Times = Session.Run.ResponseTimes(p);
            Result.Slaves.push_back(std::move(slave));
        }
        if (lost) {
            Err << "quellmark-cli: the port " << settings.CommName
                << " was lost and did not come back before the end of the run\n";
            return ExitPort;
        }
        if (interrupted) {
            Result.Interrupted = true;
            Err << "quellmark-cli: interrupted before the end of the run\n";
            return ExitInterrupted;
        }
        const bool commandFailed = Result.Coil && !Result.Coil->Echoed;
        // With limits the verdicts say whether the run failed: a failed poll
        // the limits allow is no failure.
        const bool failed = settings.Limits.Any() ? judgedFail : fail > 0;
        return failed || commandFailed ? ExitSomeFailed : ExitAllGood;
    }

    /// A coil command alone, or after a run: to Poll From, waiting for its
    /// echo as the window does.
    int Coil(TCoilAction action, const TRunSettings& settings) {
        if (!StartCoil(action, settings)) {
            ReportOpenFailure(settings);
            return ExitPort;
        }
        Queue.RunUntil([this] { return Result.Coil.has_value(); }, LongestCoil);
        // The link lets go of a vanished port at once.
        const bool lost = !Session.Comm1.PortOpen();
        Session.ClosePort();
        Queue.RunPending();
        FinishLines();
        if (lost) {
            Err << "quellmark-cli: the port " << settings.CommName << " was lost\n";
            return ExitPort;
        }
        return Result.Coil && Result.Coil->Echoed ? ExitAllGood : ExitSomeFailed;
    }

    bool CoilDone() const { return CoilStarted; }

    /// The run's record as one HTML page.
    std::string ReportHtmlText() const {
        return ReportHtml(Session.Run.Report("quellmark-cli", QUELLMARK_VERSION));
    }

private:
    bool Open(const TRunSettings& settings) {
        // A failure is a line with the system's reason, from the link keeper.
        if (Session.OpenAsSet(settings))
            return true;
        Queue.RunPending();
        ReportOpenFailure(settings);
        return false;
    }

    void ReportOpenFailure(const TRunSettings& settings) {
        Queue.RunPending();
        // The system's own reason, as the Chinese line gives it.
        Err << "quellmark-cli: cannot open the port " << settings.CommName << ": "
            << Trimmed(Session.Comm1.PortOpenError());
        if (const TDeviceError& failure = Session.Comm1.OpenFailure()) {
            Err << ": " << failure.Text;
            if (failure.Code != 0)
                Err << " (" << failure.Code << ")";
        }
        Err << '\n';
    }

    bool StartCoil(TCoilAction action, const TRunSettings& settings) {
        CoilStarted = true;
        const std::int32_t slave = settings.PollFrom & 0xFF;
        return Session.SendCoil(action, slave, settings, [this, slave](const TCoilResult& r) {
            Result.Coil = TCliCoil{r.Action, slave, r.Echoed()};
        });
    }

    /// Lines of the error list: kept for the record while its bounds allow
    /// (the oldest are kept), and written to standard error as time allows.
    void LinesReady() override {
        for (TInfoLine& line : Session.Run.TakeLines()) {
            KeepErrorLine(Result, line);
            // What waits for a slow standard error is bounded as the record is.
            if (UnwrittenBytes + line.Text.size() > MaxUnwrittenBytes) {
                ++NotWritten;
                continue;
            }
            UnwrittenBytes += line.Text.size();
            Unwritten.push_back(std::move(line.Text));
        }
    }

    /// Writes waiting lines to standard error until `until`.
    void WriteLines(TSteady::time_point until) {
        if (Unwritten.empty())
            return;
        ClearStatus();
        do {
            Err << Unwritten.front() << '\n';
            UnwrittenBytes -= Unwritten.front().size();
            Unwritten.pop_front();
        } while (!Unwritten.empty() && TSteady::now() < until);
        Err << std::flush;
    }

    void FinishLines() {
        WriteLines(TSteady::now() + LastLineWrite);
        ClearStatus();
        NotWritten += Unwritten.size();
        if (NotWritten > 0)
            Err << "quellmark-cli: " << NotWritten
                << " more error lines came than standard error could take in time\n";
        Unwritten.clear();
        // A coil command after the run writes its lines through here again.
        UnwrittenBytes = 0;
        NotWritten = 0;
    }

    void ShowStatus(TSteady::duration elapsed) {
        const double seconds = std::chrono::duration<double>(elapsed).count();
        const auto [ok, fail] = Session.Run.Totals();
        const std::int64_t polls = ok + fail;
        char text[160];
        std::snprintf(
            text, sizeof text, "elapsed %.1f s  polls %lld  OK %lld  FAIL %lld  %.1f polls/s",
            seconds, static_cast<long long>(polls), static_cast<long long>(ok),
            static_cast<long long>(fail), seconds > 0 ? static_cast<double>(polls) / seconds : 0.0);
        Status.Show(text);
    }

    void ClearStatus() { Status.Clear(); }

    std::ostream& Err;
    bool StatusLine;
    const std::atomic<bool>& Interrupted;
    TCliResult& Result;

    // The queue outlives the session, whose notices it may still hold.
    TManualNoticeQueue Queue;
    TRunSession Session{Queue, *this};

    bool CoilStarted = false;
    std::deque<std::string> Unwritten;
    std::size_t UnwrittenBytes = 0;
    std::size_t NotWritten = 0;
    TStatusLine Status{Err};
};

/// The limits of a job: the section Limits of Config.ini, then the options
/// (a --limit replaces its column's limit). Why they cannot be used; empty
/// when they can, and then they are in `settings`.
std::string TakeLimits(const TCliOptions& options, const std::string& configPath,
                       TRunSettings& settings) {
    const TValueFormat format = settings.ValueFormat;
    const TLimitsRead read = ReadLimits(*ConfigFile, format);
    if (!read.Problems.empty())
        return "'" + read.Problems.front() + "' in section Limits of " + configPath +
               " is not a limit (a value of the format " + ValueFormatName(format) + ")";
    TLimits limits = read.Limits;
    const int columns = ValuesPerReply(format, settings.RegisterCount);
    for (const TCliOptions::TLimitOption& option : options.Limits) {
        // A limit on a column the run does not have would never be applied.
        if (option.Column > columns)
            return "--limit " + std::to_string(option.Column) + ": the format " +
                   ValueFormatName(format) + " gives " + std::to_string(columns) +
                   " value(s) a reply with Register Count " +
                   std::to_string(settings.RegisterCount);
        TValueLimit limit;
        for (const bool max : {false, true}) {
            const std::string& text = max ? option.Max : option.Min;
            if (text.empty())
                continue;
            const std::optional<double> value = ParseValueText(text, format);
            if (!value)
                return "--limit " + std::to_string(option.Column) + ": '" + text +
                       "' is not a value of the format " + ValueFormatName(format);
            (max ? limit.Max : limit.Min) = value;
        }
        const auto column = static_cast<std::size_t>(option.Column - 1);
        if (limits.Values.size() <= column)
            limits.Values.resize(column + 1);
        limits.Values[column] = limit;
    }
    if (options.MaxFail)
        limits.MaxFail = options.MaxFail;
    if (options.MaxFailPercent)
        limits.MaxFailPercent = options.MaxFailPercent;
    if (options.MaxResponseMs)
        limits.MaxResponseMs = options.MaxResponseMs;
    switch (const TLimitsProblem problem = LimitsProblem(limits); problem.Kind) {
    case TLimitsProblem::TKind::None:
        break;
    case TLimitsProblem::TKind::MinAboveMax:
        return "the limit of Value" + std::to_string(problem.Column + 1) +
               " has its minimum above its maximum";
    case TLimitsProblem::TKind::NegativeFail:
        return "'Max Fail' in section Limits of " + configPath + " is below 0";
    case TLimitsProblem::TKind::PercentRange:
        return "'Max Fail Percent' in section Limits of " + configPath + " is outside 0 to 100";
    case TLimitsProblem::TKind::NegativeTime:
        return "'Max Response ms' in section Limits of " + configPath + " is below 0";
    }
    settings.Limits = limits;
    return {};
}

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

/// A scan instead of a run: its own result, printed as the options say.
int ScanJob(const TCliOptions& options, const TRunSettings& settings,
            std::optional<std::string> configPath, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& interrupted, bool statusLine) {
    TCliScanResult result;
    result.Plan = CliScanPlan(options, settings);
    result.Version = QUELLMARK_VERSION;
    result.Started = SystemClock().Now();
    result.ConfigPath = std::move(configPath);
    const int code = RunCliScan(result, err, interrupted, statusLine);
    switch (options.Format) {
    case TCliFormat::Table:
        out << ScanTableText(result);
        break;
    case TCliFormat::Json:
        out << ScanJsonText(result);
        break;
    case TCliFormat::Csv:
        out << ScanCsvText(result);
        break;
    }
    out << std::flush;
    return code;
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
    // The file is read-only here: the options change the values in memory only.
    if (options.Port)
        ParamCommPort->SetValue(*options.Port);
    if (options.ValueFormat)
        ParamValueFormat->SetValue(*options.ValueFormat);
    if (options.Parity)
        ParamParity->SetValue(*options.Parity);
    // A scan covers the whole bus unless --from or --to say otherwise, whatever the file's range.
    if (options.Scan) {
        ParamPollFrom->SetValue(DefaultScanFrom);
        ParamPollTo->SetValue(DefaultScanTo);
    }
    // Poll From and Poll To come second and third: the range message names them.
    const TOverride overrides[] = {
        {TSettingId::BaudRate, options.Baud, "--baud"},
        {TSettingId::PollFrom, options.From, "--from"},
        {TSettingId::PollTo, options.To, "--to"},
        {TSettingId::RegisterBegin, options.RegisterBegin, "--register-begin"},
        {TSettingId::RegisterCount, options.RegisterCount, "--register-count"},
        {TSettingId::PollTimeout, options.Timeout, "--timeout"},
        {TSettingId::PollInterval, options.Interval, "--interval"},
        {TSettingId::FrameBreakMode, options.FrameBreak, "--frame-break"},
        {TSettingId::ReadInterval, options.ReadInterval, "--read-interval"},
        {TSettingId::FunctionCode, options.Function, "--function"},
        {TSettingId::StopBits, options.StopBits, "--stop-bits"},
    };
    for (const TOverride& o : overrides)
        if (o.Value)
            SettingParam(o.Id)->SetValue(*o.Value);
    if (const std::string problem = SettingsProblem(configPath, overrides); !problem.empty()) {
        err << "quellmark-cli: " << problem << '\n';
        return ExitUsage;
    }
    if (!options.WantsRun() && !options.Coil && !options.Scan) {
        err << "quellmark-cli: say how long to poll (--cycles N or --duration SECONDS), or "
               "give --zero or --unzero\nTry 'quellmark-cli --help'.\n";
        return ExitUsage;
    }

    TRunSettings settings = RunSettingsFromParams();
    settings.Rs485 = options.Rs485;
    if (options.Scan)
        return ScanJob(options, settings, configRead ? std::optional(configPath) : std::nullopt,
                       out, err, interrupted, statusLine);
    if (const std::string problem = TakeLimits(options, configPath, settings); !problem.empty()) {
        err << "quellmark-cli: " << problem << '\n';
        return ExitUsage;
    }
    TCliResult result;
    result.Settings = settings;
    result.Version = QUELLMARK_VERSION;
    result.Started = SystemClock().Now();
    if (configRead)
        result.ConfigPath = configPath;
    result.Cycles = options.Cycles;
    result.DurationSeconds = options.DurationSeconds;
    int code = ExitAllGood;
    std::string report;
    {
        TCliSession session(err, statusLine, interrupted, result);
        if (options.WantsRun())
            code = session.Poll(options, settings);
        if (options.Coil && !session.CoilDone() && code != ExitPort && code != ExitInterrupted) {
            const int coil = session.Coil(*options.Coil, settings);
            code = coil == ExitPort ? ExitPort : std::max(code, coil);
        }
        if (options.ReportPath && result.Ran)
            report = session.ReportHtmlText();
    }
    result.RunCode = code;
    if (options.ReportPath && result.Ran) {
        if (const std::error_code error = WriteReportFile(*options.ReportPath, report)) {
            err << "quellmark-cli: cannot write the record to " << *options.ReportPath << ": "
                << error.message() << '\n';
            // A lost port or an interruption says more than the missing record.
            if (code == ExitAllGood || code == ExitSomeFailed)
                code = ExitReport;
        }
    }
    result.ExitCode = code;
    switch (options.Format) {
    case TCliFormat::Table:
        out << TableText(result);
        break;
    case TCliFormat::Json:
        WriteJson(out, result);
        break;
    case TCliFormat::Csv:
        out << CsvText(result);
        break;
    }
    out << std::flush;
    return code;
}
