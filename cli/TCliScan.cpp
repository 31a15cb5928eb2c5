#include "TCliScan.h"

#include "TCliReport.h"
#include "TCliRun.h"
#include "TNoticeQueue.h"
#include "TResponseStats.h"
#include "TStatusLine.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace {

using namespace std::chrono_literals;

constexpr int MsDecimals = 3;
// How late Ctrl-C is noticed, and how often the status line is drawn.
constexpr auto PumpSlice = 10ms;
constexpr auto StatusPeriod = 250ms;
// A stopped scan ends within one probe; this bounds the wait for its last notice.
constexpr auto LongestEnd = 30s;

std::string Ms(double ms) {
    return MillisecondsText(ms * 1000.0, MsDecimals);
}

std::string Letter(TLineParity parity) {
    return std::string(1, ParityLetter(parity));
}

std::vector<std::vector<std::string>> Rows(const TCliScanResult& result) {
    std::vector<std::vector<std::string>> rows{
        {"Id", "Baud", "Parity", "StopBits", "Reply", "Response_ms"}};
    for (const TScanFind& find : result.Found)
        rows.push_back({std::to_string(find.Slave), std::to_string(find.BaudRate),
                        Letter(find.Parity), std::to_string(find.StopBits), ScanReplyText(find),
                        Ms(find.ResponseMs)});
    return rows;
}

/// The width a cell takes in a terminal: a character a column, Chinese ones two.
std::size_t Width(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        i += length;
    }
    return width;
}

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case ExitAllGood:
        return "found";
    case ExitPort:
        return "port_error";
    case ExitInterrupted:
        return "interrupted";
    default:
        return "none";
    }
}

/// Hears the scan on the console's loop: lines to standard error at once.
class TConsoleScan final : public TScanListener {
public:
    TConsoleScan(TCliScanResult& result, std::ostream& err, bool statusLine)
        : Result(result), Err(err), StatusLine(statusLine) {}

    void ScanFound(const TScanFind& find) override { Result.Found.push_back(find); }
    void ScanProgress(const TScanProgress& progress) override { Progress = progress; }
    void ScanLine(const TInfoLine& line) override {
        ClearStatus();
        Err << line.Text << '\n' << std::flush;
        Result.Lines.push_back(line);
    }
    void ScanEnded(const TScanEnd& end) override { Result.End = end; }

    void ShowStatus() {
        if (!StatusLine || !Progress)
            return;
        char text[160];
        std::snprintf(
            text, sizeof text, "scanning %d %c: %zu of %zu probes, %zu found, about %lld s left",
            Progress->BaudRate, ParityLetter(Progress->Parity), Progress->Done, Progress->Total,
            Result.Found.size(), static_cast<long long>((Progress->Left.count() + 999) / 1000));
        Status.Show(text);
    }

    void ClearStatus() { Status.Clear(); }

private:
    TCliScanResult& Result;
    std::ostream& Err;
    bool StatusLine;
    std::optional<TScanProgress> Progress;
    TStatusLine Status{Err};
};

} // namespace

TScanPlan CliScanPlan(const TCliOptions& options, const TRunSettings& settings) {
    TScanPlan plan = ScanPlanFor(settings);
    plan.From = settings.PollFrom;
    plan.To = settings.PollTo;
    // A rate or a parity given alone is the one to try.
    plan.BaudRates = options.ScanBauds ? *options.ScanBauds
                     : options.Baud    ? std::vector<std::int32_t>{*options.Baud}
                                       : CommonScanBaudRates();
    plan.Parities = options.ScanParities ? *options.ScanParities
                    : options.Parity     ? std::vector<TLineParity>{settings.Parity}
                                         : DefaultScanParities();
    if (options.ScanTimeout)
        plan.Timeout = std::chrono::milliseconds(*options.ScanTimeout);
    if (options.ScanTurnaround)
        plan.Turnaround = std::chrono::milliseconds(*options.ScanTurnaround);
    return plan;
}

int RunCliScan(TCliScanResult& result, std::ostream& err, const std::atomic<bool>& interrupted,
               bool statusLine) {
    TManualNoticeQueue queue;
    TConsoleScan listener(result, err, statusLine);
    bool stopped = false;
    {
        TBusScan scan(queue);
        scan.Start(result.Plan, listener);
        auto nextStatus = std::chrono::steady_clock::now();
        while (!result.End) {
            queue.WaitAndRun(PumpSlice);
            if (interrupted && !stopped) {
                stopped = true;
                scan.Stop();
                queue.RunUntil([&] { return result.End.has_value(); }, LongestEnd);
            }
            if (const auto now = std::chrono::steady_clock::now(); now >= nextStatus) {
                listener.ShowStatus();
                nextStatus = now + StatusPeriod;
            }
        }
    }
    listener.ClearStatus();
    if (result.End->Outcome == TScanOutcome::PortFailed)
        result.ExitCode = ExitPort;
    else if (result.End->Outcome == TScanOutcome::Stopped)
        result.ExitCode = ExitInterrupted;
    else
        result.ExitCode = result.Found.empty() ? ExitSomeFailed : ExitAllGood;
    if (result.ExitCode == ExitPort)
        err << "quellmark-cli: the scan of " << result.Plan.CommName
            << " ended: the port could not be opened or was lost\n";
    if (result.ExitCode == ExitInterrupted)
        err << "quellmark-cli: interrupted before the end of the scan\n";
    return result.ExitCode;
}

std::string ScanTableText(const TCliScanResult& result) {
    const std::vector<std::vector<std::string>> rows = Rows(result);
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], Width(row[i]));
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            // Numbers right-aligned, texts left-aligned, as a reader scans them.
            const std::string pad(widths[i] - Width(row[i]), ' ');
            const bool left = i == 2 || i == 4;
            line += (i > 0 ? "  " : "") + (left ? row[i] + pad : pad + row[i]);
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + '\n';
    }
    const std::size_t probes = result.End ? result.End->Probes : 0;
    const double seconds = result.End ? static_cast<double>(result.End->Elapsed.count()) / 1000 : 0;
    char tail[128];
    std::snprintf(tail, sizeof tail, "found %zu in %zu probes, %.3f s%s\n", result.Found.size(),
                  probes, seconds, result.ExitCode == ExitInterrupted ? " (interrupted)" : "");
    return text + tail;
}

std::string ScanCsvText(const TCliScanResult& result) {
    std::string text;
    for (const auto& row : Rows(result)) {
        for (std::size_t i = 0; i < row.size(); ++i)
            text += (i > 0 ? "," : "") + row[i];
        text += '\n';
    }
    return text;
}

std::string ScanJsonText(const TCliScanResult& result) {
    const TScanPlan& p = result.Plan;
    std::string json =
        "{\"tool\": \"quellmark-cli\", \"version\": " + JsonString(result.Version) +
        ", \"started\": " + JsonString(IsoTimeText(result.Started)) +
        ", \"config\": " + (result.ConfigPath ? JsonString(*result.ConfigPath) : "null") +
        ", \"result\": \"" + ResultName(result.ExitCode) + "\"";
    json += ", \"scan\": {\"port\": " + JsonString(p.CommName) +
            ", \"from\": " + std::to_string(p.From) + ", \"to\": " + std::to_string(p.To) +
            ", \"bauds\": [";
    for (std::size_t i = 0; i < p.BaudRates.size(); ++i)
        json += (i > 0 ? ", " : "") + std::to_string(p.BaudRates[i]);
    json += "], \"parities\": [";
    for (std::size_t i = 0; i < p.Parities.size(); ++i)
        json += (i > 0 ? ", \"" : "\"") + Letter(p.Parities[i]) + "\"";
    json += "], \"stop_bits\": " + std::to_string(p.StopBits) +
            ", \"function\": " + std::to_string(p.FunctionCode) +
            ", \"register_begin\": " + std::to_string(p.RegisterBegin) +
            ", \"timeout_ms\": " + (p.Timeout ? std::to_string(p.Timeout->count()) : "null") +
            ", \"turnaround_ms\": " + std::to_string(p.Turnaround.count()) + "}";
    if (result.End) {
        char elapsed[32];
        std::snprintf(elapsed, sizeof elapsed, "%.3f",
                      static_cast<double>(result.End->Elapsed.count()) / 1000);
        json += ", \"elapsed_s\": " + std::string(elapsed) +
                ", \"probes\": " + std::to_string(result.End->Probes);
    }
    json += ", \"found\": [";
    for (std::size_t i = 0; i < result.Found.size(); ++i) {
        const TScanFind& f = result.Found[i];
        json += std::string(i > 0 ? ", " : "") + "{\"id\": " + std::to_string(f.Slave) +
                ", \"baud\": " + std::to_string(f.BaudRate) + ", \"parity\": \"" +
                Letter(f.Parity) + "\", \"stop_bits\": " + std::to_string(f.StopBits) +
                ", \"reply\": " + JsonString(ScanReplyText(f)) +
                ", \"value\": " + (f.Value ? std::to_string(*f.Value) : "null") +
                ", \"exception\": " +
                (f.Exception ? std::to_string(f.Exception->Code) : std::string("null")) +
                ", \"response_ms\": " + Ms(f.ResponseMs) + "}";
    }
    json += "], \"errors\": [";
    for (std::size_t i = 0; i < result.Lines.size(); ++i) {
        const TCliErrorLine e = SplitErrorLine(result.Lines[i]);
        json += std::string(i > 0 ? ", " : "") + "{\"time\": " + JsonString(e.Time) +
                ", \"text\": " + JsonString(e.Text) + ", \"kind\": \"" +
                std::string(InfoKindName(e.Kind)) + "\", \"at\": " + JsonString(IsoTimeText(e.At)) +
                "}";
    }
    return json + "]}\n";
}
