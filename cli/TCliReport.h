#pragma once

#include "ModbusRtu.h"
#include "TCliOptions.h"
#include "TInfoLine.h"
#include "TResponseStats.h"
#include "TRunSettings.h"
#include "TVerdict.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct TCliSlave {
    std::int32_t Id = 0;
    std::int64_t Ok = 0;
    std::int64_t Fail = 0;
    /// The values of the last good reply, as the window's row shows them.
    std::vector<std::string> Values;
    /// The same values as JSON has them (numbers, strings, null for NaN and infinities).
    std::vector<std::string> ValuesJson;
    TResponseStats Times;
    /// Each value column over the good replies.
    std::vector<TValueStats> Stats;
    /// Given only when limits are set.
    std::optional<TVerdict> Verdict;
};

/// One line of the error list: its time stamp ("hh:nn:ss"), its text after the
/// stamp, what it reports, the slave it concerns and when it was made.
struct TCliErrorLine {
    std::string Time;
    std::string Text;
    TInfoKind Kind = TInfoKind::Other;
    std::optional<std::int32_t> Slave;
    TDateTime At;
};

struct TCliCoil {
    TCoilAction Action = TCoilAction::Zero;
    std::int32_t Slave = 0;
    bool Echoed = false;
};

/// Everything a job prints at its end.
struct TCliResult {
    /// The settings the job ran with, after Config.ini and the options.
    TRunSettings Settings;
    std::string Version;
    /// When the job started, on the wall clock.
    TDateTime Started;
    /// The settings file read; none when there was none (the defaults).
    std::optional<std::string> ConfigPath;
    /// What the command line asked for: passes or seconds (or neither, a command alone).
    std::optional<std::int64_t> Cycles;
    std::optional<double> DurationSeconds;
    /// The run was ended by a signal before its passes or its time were done.
    bool Interrupted = false;
    /// The job's exit code.
    int ExitCode = 0;
    /// What the run itself came to, as an exit code: ExitCode may say more
    /// (the record could not be written), "result" says this.
    int RunCode = 0;
    bool Ran = false;
    double ElapsedSeconds = 0;
    std::int64_t Polls = 0;
    /// Value columns of the table: Register Count div 2.
    std::int32_t ValueColumns = 0;
    std::vector<TCliSlave> Slaves;
    std::vector<TCliErrorLine> Errors;
    /// The bytes of text Errors holds.
    std::size_t ErrorBytes = 0;
    /// Lines beyond the bounds of Errors, left out of the JSON (all went to standard error).
    std::size_t ErrorsOmitted = 0;
    std::optional<TCliCoil> Coil;
};

/// The most error lines a JSON result carries, and the most bytes of their
/// text (as the window's list keeps at most): a flooding device must not make
/// the record grow without end. The oldest lines are kept.
inline constexpr std::size_t MaxJsonErrors = 100'000;
inline constexpr std::size_t MaxJsonErrorBytes = std::size_t{64} << 20;

/// Keeps `line` in the result's errors while both bounds allow, else counts it omitted.
void KeepErrorLine(TCliResult& result, const TInfoLine& line);

std::string TableText(const TCliResult& result);
std::string CsvText(const TCliResult& result);
/// The same, written to `out` as it is made.
void WriteJson(std::ostream& out, const TCliResult& result);

/// Text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

/// An error-list line as the record keeps it: the stamp's time apart from the
/// rest; a line without a stamp keeps its whole text and takes the time it was made.
TCliErrorLine SplitErrorLine(const TInfoLine& line);
