#pragma once

#include "ModbusRtu.h"
#include "TCliOptions.h"
#include "TResponseStats.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The settings a job ran with, after Config.ini and the options.
struct TCliSettings {
    std::string Port;
    std::int32_t Baud = 0;
    std::int32_t From = 0;
    std::int32_t To = 0;
    std::int32_t RegisterBegin = 0;
    std::int32_t RegisterCount = 0;
    std::int32_t TimeoutMs = 0;
    std::int32_t IntervalMs = 0;
    std::int32_t FrameBreak = 0; ///< 0 length, 1 interval
    std::int32_t ReadIntervalMs = 0;
};

struct TCliSlave {
    std::int32_t Id = 0;
    std::int64_t Ok = 0;
    std::int64_t Fail = 0;
    /// The values of the last good reply, as the window's row shows them.
    std::vector<std::string> Values;
    TResponseStats Times;
};

/// One line of the error list: its time stamp ("hh:nn:ss") and its text after the stamp.
struct TCliErrorLine {
    std::string Time;
    std::string Text;
};

struct TCliCoil {
    TCoilAction Action = TCoilAction::Zero;
    std::int32_t Slave = 0;
    bool Echoed = false;
};

/// Everything a job prints at its end.
struct TCliResult {
    TCliSettings Settings;
    bool Ran = false;
    double ElapsedSeconds = 0;
    std::int64_t Polls = 0;
    /// Value columns of the table: Register Count div 2.
    std::int32_t ValueColumns = 0;
    std::vector<TCliSlave> Slaves;
    std::vector<TCliErrorLine> Errors;
    /// Lines beyond the bound of Errors, left out of the JSON (all went to standard error).
    std::size_t ErrorsOmitted = 0;
    std::optional<TCliCoil> Coil;
};

/// The most error lines a JSON result carries.
inline constexpr std::size_t MaxJsonErrors = 100'000;

std::string TableText(const TCliResult& result);
std::string CsvText(const TCliResult& result);
std::string JsonText(const TCliResult& result);

/// Text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

/// Splits an error-list line into its stamp's time and the rest; a line
/// without a stamp keeps its whole text and takes `now` ("hh:nn:ss").
TCliErrorLine SplitErrorLine(const std::string& line, const std::string& now);
