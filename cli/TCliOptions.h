#pragma once

#include "ModbusRtu.h"
#include "TLineParity.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

/// How the results are printed on standard output.
enum class TCliFormat : std::uint8_t { Table, Json, Csv };

/// The command line of quellmark-cli. A setting that is given overrides the
/// one from Config.ini; one that is not keeps it.
struct TCliOptions {
    std::optional<std::string> ConfigPath;
    std::optional<std::string> Port;
    std::optional<std::int32_t> Baud;
    std::optional<std::int32_t> From;
    std::optional<std::int32_t> To;
    std::optional<std::int32_t> RegisterBegin;
    std::optional<std::int32_t> RegisterCount;
    std::optional<std::int32_t> Timeout;
    std::optional<std::int32_t> Interval;
    std::optional<std::int32_t> FrameBreak; ///< 0 fixed length, 1 fixed interval
    std::optional<std::int32_t> ReadInterval;
    std::optional<std::int32_t> Function; ///< 3 holding registers, 4 input registers
    /// The value format as ParseValueFormat takes it, in its canonical name.
    std::optional<std::string> ValueFormat;
    /// "N", "E" or "O".
    std::optional<std::string> Parity;
    std::optional<std::int32_t> StopBits;
    /// RTS switched by the driver for each transmission (RS-485 direction control).
    bool Rs485 = false;

    std::optional<std::int64_t> Cycles;
    std::optional<double> DurationSeconds;
    TCliFormat Format = TCliFormat::Table;
    std::optional<TCoilAction> Coil;
    /// The command goes on the line this many seconds into the run.
    std::optional<double> CoilAfterSeconds;

    /// Limits given on the command line: a value column (1 for Value1) and its
    /// sides as written (empty for none); read as the value format says at the job.
    struct TLimitOption {
        std::int32_t Column = 1;
        std::string Min;
        std::string Max;
    };
    std::vector<TLimitOption> Limits;
    std::optional<std::int64_t> MaxFail;
    std::optional<double> MaxFailPercent;
    std::optional<double> MaxResponseMs;
    /// Where to write the run's record as HTML.
    std::optional<std::string> ReportPath;
    /// Look for the devices on the line instead of polling (TBusScan).
    bool Scan = false;
    std::optional<std::vector<std::int32_t>> ScanBauds;
    std::optional<std::vector<TLineParity>> ScanParities;
    std::optional<std::int32_t> ScanTimeout;
    std::optional<std::int32_t> ScanTurnaround;

    bool ListPorts = false;
    bool Help = false;
    bool Version = false;

    /// A polling run is asked for (--cycles or --duration).
    bool WantsRun() const { return Cycles.has_value() || DurationSeconds.has_value(); }
};

struct TCliParseResult {
    std::optional<TCliOptions> Options; ///< set when the command line is valid
    std::string Error;                  ///< why it is not, naming the option and its range
};

/// Parses the arguments after the program name. A value follows its option as
/// the next argument or after '=' ("--baud 9600", "--baud=9600").
TCliParseResult ParseCliOptions(std::span<const std::string> args);

inline constexpr std::int64_t MaxCycles = 2'000'000'000;
/// The longest wait or allowance of one probe of a scan, ms.
inline constexpr std::int32_t MaxScanWaitMs = 10'000;

inline constexpr double MaxDurationSeconds = 10'000'000;

/// "int16, uint16, hex16, int32[:ORDER], uint32[:ORDER], float32[:ORDER] with ORDER
/// abcd, cdab, badc or dcba": what a value format may be.
std::string ValueFormatsText();

/// The text --help prints.
std::string CliHelpText();
