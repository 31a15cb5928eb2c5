#include "TCliOptions.h"

#include "TLineParity.h"
#include "TOptionTable.h"
#include "TSettingsTable.h"
#include "ValueFormat.h"

namespace {

using TCliOptionTable = TOptionTable<TCliOptions>;

/// "a,b,c" as its items; an empty text is one empty item.
std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        items.push_back(text.substr(at, comma == std::string::npos ? comma : comma - at));
        if (comma == std::string::npos)
            return items;
        at = comma + 1;
    }
}

/// The range a setting accepts, as the settings table gives it.
std::string RangeText(TSettingId id) {
    return ::RangeText(SettingEntry(id).Min, SettingEntry(id).Max);
}

TCliOptionTable::TApply Integer(std::optional<std::int32_t> TCliOptions::*field,
                                const std::string& name, const std::string& unit, TSettingId id) {
    return [=](TCliOptions& options, const std::string& text) -> std::string {
        const TSettingEntry& entry = SettingEntry(id);
        const auto value = ParseNumberIn<std::int32_t>(text, entry.Min, entry.Max);
        if (!value)
            return WantsFromTo(name, unit, entry.Min, entry.Max) + ", not '" + text + "'";
        options.*field = *value;
        return {};
    };
}

TCliOptionTable::TApply Flag(std::function<std::string(TCliOptions&)> set) {
    return
        [set = std::move(set)](TCliOptions& options, const std::string&) { return set(options); };
}

const TCliOptionTable& OptionTable() {
    static const TCliOptionTable table{{
        {"--config", "PATH",
         "Read the settings from PATH instead of Config.ini beside the program. The file is "
         "never written.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             if (v.empty())
                 return "--config wants a path";
             o.ConfigPath = v;
             return {};
         }},
        {"--port", "NAME", "Serial port (Comm Port), for example COM3 or /dev/ttyUSB0.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             if (v.empty())
                 return "--port wants a port name";
             o.Port = v;
             return {};
         }},
        {"--baud", "N", "Baud rate, " + RangeText(TSettingId::BaudRate) + " (Baud Rate).",
         Integer(&TCliOptions::Baud, "--baud", "a baud rate", TSettingId::BaudRate)},
        {"--parity", "N|E|O",
         "Parity of the line: none (N, the default), even (E) or odd (O) (Parity); 8 data bits "
         "always.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const std::optional<TLineParity> parity = ParseParity(v);
             if (!parity)
                 return "--parity wants N, E or O, not '" + v + "'";
             o.Parity = std::string(1, ParityLetter(*parity));
             return {};
         }},
        {"--stop-bits", "1|2", "Stop bits of the line, 1 (the default) or 2 (Stop Bits).",
         Integer(&TCliOptions::StopBits, "--stop-bits", "stop bits", TSettingId::StopBits)},
        {"--from", "N", "First slave address, " + RangeText(TSettingId::PollFrom) + " (Poll From).",
         Integer(&TCliOptions::From, "--from", "a slave address", TSettingId::PollFrom)},
        {"--to", "N", "Last slave address, " + RangeText(TSettingId::PollTo) + " (Poll To).",
         Integer(&TCliOptions::To, "--to", "a slave address", TSettingId::PollTo)},
        {"--register-begin", "N",
         "First register, " + RangeText(TSettingId::RegisterBegin) + " (Register Begin).",
         Integer(&TCliOptions::RegisterBegin, "--register-begin", "a register address",
                 TSettingId::RegisterBegin)},
        {"--register-count", "N",
         "Registers read per poll, " + RangeText(TSettingId::RegisterCount) +
             " (Register Count); --format says how they form values.",
         Integer(&TCliOptions::RegisterCount, "--register-count", "a register count",
                 TSettingId::RegisterCount)},
        {"--timeout", "MS",
         "Longest wait for a good reply, " + RangeText(TSettingId::PollTimeout) +
             " ms (Poll Timeout).",
         Integer(&TCliOptions::Timeout, "--timeout", "milliseconds", TSettingId::PollTimeout)},
        {"--interval", "MS",
         "Pause after each poll, " + RangeText(TSettingId::PollInterval) + " ms (Poll Interval).",
         Integer(&TCliOptions::Interval, "--interval", "milliseconds", TSettingId::PollInterval)},
        {"--function", "3|4",
         "Read holding registers (3, the default) or input registers (4) (Function Code).",
         [](TCliOptions& o, const std::string& v) -> std::string {
             if (v != "3" && v != "4")
                 return "--function wants 3 or 4, not '" + v + "'";
             o.Function = v == "3" ? 3 : 4;
             return {};
         }},
        {"--format", "FORMAT",
         "How the registers are read as values (Value Format): " + ValueFormatsText() +
             "; int32 alone is int32:abcd, the default (high word first).",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const std::optional<TValueFormat> format = ParseValueFormat(v);
             if (!format)
                 return "--format wants " + ValueFormatsText() + ", not '" + v + "'";
             o.ValueFormat = ValueFormatName(*format);
             return {};
         }},
        {"--frame-break", "length|interval",
         "How replies are cut into frames (FrameBreakMode): by their expected length, or by a "
         "quiet gap longer than --read-interval.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             if (v == "length")
                 o.FrameBreak = 0;
             else if (v == "interval")
                 o.FrameBreak = 1;
             else
                 return "--frame-break wants length or interval, not '" + v + "'";
             return {};
         }},
        {"--read-interval", "MS",
         "In interval mode, the longest gap inside one reply, " +
             RangeText(TSettingId::ReadInterval) + " ms (ReadInterval).",
         Integer(&TCliOptions::ReadInterval, "--read-interval", "milliseconds",
                 TSettingId::ReadInterval)},
        {"--rs485", "",
         "Let the port's driver switch RTS for each transmission (RS-485 direction control of "
         "built-in RS-485 ports). Without it RTS stays asserted, as in the window.",
         TCliOptionTable::Sets(&TCliOptions::Rs485)},
        {"--cycles", "N",
         "Run N passes over the range (" + ::RangeText<std::int64_t>(1, MaxCycles) +
             "); a pass ends with the result of the last slave.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<std::int64_t>(v, 1, MaxCycles);
             if (!value)
                 return WantsFromTo<std::int64_t>("--cycles", "a number of passes", 1, MaxCycles) +
                        ", not '" + v + "'";
             o.Cycles = *value;
             return {};
         }},
        {"--duration", "SECONDS",
         "Run for SECONDS (fractions allowed, more than 0, at most 10000000).",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumber<double>(v, std::chars_format::fixed);
             if (!value || *value <= 0 || *value > MaxDurationSeconds)
                 return "--duration wants seconds, more than 0 and at most 10000000, not '" + v +
                        "'";
             o.DurationSeconds = *value;
             return {};
         }},
        {"--json", "", "Print the results as one JSON object.",
         Flag([](TCliOptions& o) -> std::string {
             if (o.Format == TCliFormat::Csv)
                 return "--json and --csv exclude each other";
             o.Format = TCliFormat::Json;
             return {};
         })},
        {"--csv", "", "Print the results as CSV with a header row.",
         Flag([](TCliOptions& o) -> std::string {
             if (o.Format == TCliFormat::Json)
                 return "--json and --csv exclude each other";
             o.Format = TCliFormat::Csv;
             return {};
         })},
        {"--zero", "",
         "Send the zero command (coil 10, FF00) to the first slave and wait 500 ms for its "
         "echo; after the run when a run is asked for (see --zero-after).",
         Flag([](TCliOptions& o) -> std::string {
             if (o.Coil)
                 return "--zero and --unzero exclude each other";
             o.Coil = TCoilAction::Zero;
             return {};
         })},
        {"--unzero", "", "The same with the un-zero command (coil 10, F000).",
         Flag([](TCliOptions& o) -> std::string {
             if (o.Coil)
                 return "--zero and --unzero exclude each other";
             o.Coil = TCoilAction::UnZero;
             return {};
         })},
        {"--zero-after", "SECONDS",
         "With --zero or --unzero and a run: put the command on the line SECONDS into the run "
         "(fractions allowed), between two polls, as the window does when the button is "
         "pressed; polling goes on after it. A run that ends sooner sends it after its end.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumber<double>(v, std::chars_format::fixed);
             if (!value || *value < 0 || *value > MaxDurationSeconds)
                 return "--zero-after wants seconds, from 0 to 10000000, not '" + v + "'";
             o.CoilAfterSeconds = *value;
             return {};
         }},
        {"--limit", "N:MIN..MAX",
         "A limit for value column N (1 for Value1): every value of every good reply must lie "
         "from MIN to MAX, as the value format writes them (either side may be empty). "
         "Repeatable. With any limit the record gives a verdict per slave, and the exit code "
         "is 1 when a slave fails. Adds to the section Limits of Config.ini.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const std::size_t colon = v.find(':');
             const std::size_t dots = v.find("..", colon == std::string::npos ? 0 : colon);
             const auto column = colon == std::string::npos
                                     ? std::nullopt
                                     : ParseNumberIn<std::int32_t>(v.substr(0, colon), 1, 125);
             if (!column || dots == std::string::npos)
                 return "--limit wants N:MIN..MAX with N from 1 to 125, not '" + v + "'";
             o.Limits.push_back(
                 {*column, v.substr(colon + 1, dots - colon - 1), v.substr(dots + 2)});
             return {};
         }},
        {"--max-fail", "N",
         "The most failed polls a slave may have and pass (with limits and without this or "
         "--max-fail-percent: 0).",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<std::int64_t>(v, 0, MaxCycles);
             if (!value)
                 return WantsFromTo<std::int64_t>("--max-fail", "a number of polls", 0, MaxCycles) +
                        ", not '" + v + "'";
             o.MaxFail = *value;
             return {};
         }},
        {"--max-fail-percent", "P", "The highest share of failed polls a slave may have, 0 to 100.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<double>(v, 0.0, 100.0, std::chars_format::fixed);
             if (!value)
                 return "--max-fail-percent wants a percentage from 0 to 100, not '" + v + "'";
             o.MaxFailPercent = *value;
             return {};
         }},
        {"--max-response-ms", "X", "The longest p99 response time a slave may have, in ms.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<double>(v, 0.0, 1e7, std::chars_format::fixed);
             if (!value)
                 return "--max-response-ms wants milliseconds, 0 or more, not '" + v + "'";
             o.MaxResponseMs = *value;
             return {};
         }},
        {"--report", "FILE",
         "Write the record of the run to FILE as one HTML page (settings, limits, every slave "
         "with its statistics and verdict, the error lines by kind), as a whole.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             if (v.empty())
                 return "--report wants a file name";
             o.ReportPath = v;
             return {};
         }},
        {"--scan", "",
         "Look for the devices on the line instead of polling: every address from --from to "
         "--to (default 1 to 247) at each rate of --scan-bauds and each parity of "
         "--scan-parities, with a one-register read (--function, --register-begin); an address "
         "that answers twice, with a reply or an exception, is a device. Prints each device "
         "with its rate, parity, stop bits (--stop-bits), reply and response time.",
         TCliOptionTable::Sets(&TCliOptions::Scan)},
        {"--scan-bauds", "LIST",
         "Rates to try, comma-separated, in that order; default --baud if given, else "
         "4800,9600,19200,38400,57600,115200.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             std::vector<std::int32_t> rates;
             const TSettingEntry& baudRate = SettingEntry(TSettingId::BaudRate);
             for (const std::string& item : SplitList(v)) {
                 const auto rate = ParseNumberIn<std::int32_t>(item, baudRate.Min, baudRate.Max);
                 if (!rate)
                     return "--scan-bauds wants rates from " +
                            ::RangeText(baudRate.Min, baudRate.Max) +
                            " separated by commas, not '" + v + "'";
                 rates.push_back(*rate);
             }
             o.ScanBauds = std::move(rates);
             return {};
         }},
        {"--scan-parities", "LIST",
         "Parities to try with each rate, comma-separated (N, E, O); default --parity if "
         "given, else N,E.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             std::vector<TLineParity> parities;
             for (const std::string& item : SplitList(v)) {
                 const std::optional<TLineParity> parity = ParseParity(item);
                 if (!parity)
                     return "--scan-parities wants N, E or O separated by commas, not '" + v + "'";
                 parities.push_back(*parity);
             }
             o.ScanParities = std::move(parities);
             return {};
         }},
        {"--scan-timeout", "MS",
         "Wait this long for each probe's reply, 1 to 10000 ms; default: the time the request "
         "and the reply take on the line at the rate tried, and --scan-turnaround.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<std::int32_t>(v, 1, MaxScanWaitMs);
             if (!value)
                 return WantsFromTo("--scan-timeout", "milliseconds", 1, MaxScanWaitMs) +
                        ", not '" + v + "'";
             o.ScanTimeout = *value;
             return {};
         }},
        {"--scan-turnaround", "MS",
         "What the sized wait allows a slave between request and reply, 0 to 10000 ms "
         "(default 30); a slave that answers within it is never missed.",
         [](TCliOptions& o, const std::string& v) -> std::string {
             const auto value = ParseNumberIn<std::int32_t>(v, 0, MaxScanWaitMs);
             if (!value)
                 return WantsFromTo("--scan-turnaround", "milliseconds", 0, MaxScanWaitMs) +
                        ", not '" + v + "'";
             o.ScanTurnaround = *value;
             return {};
         }},
        {"--list-ports", "",
         "Print the serial ports of this machine, one a line: the name, then what the system "
         "knows of it (USB identity, serial number, driver, stable name), and exit.",
         TCliOptionTable::Sets(&TCliOptions::ListPorts)},
        {"--help", "", "Print this text and exit.", TCliOptionTable::Sets(&TCliOptions::Help)},
        {"--version", "", "Print the version and exit.",
         TCliOptionTable::Sets(&TCliOptions::Version)},
    }};
    return table;
}

} // namespace

std::string ValueFormatsText() {
    return "int16, uint16, hex16, int32[:ORDER], uint32[:ORDER] or float32[:ORDER] with ORDER "
           "abcd, cdab, badc or dcba";
}

TCliParseResult ParseCliOptions(std::span<const std::string> args) {
    TCliOptions options;
    std::string error = OptionTable().Parse(
        args, options, [](const std::string& arg) { return "unknown option '" + arg + "'"; });
    if (!error.empty())
        return {std::nullopt, std::move(error)};
    if (options.Cycles && options.DurationSeconds)
        return {std::nullopt, "--cycles and --duration exclude each other"};
    if (options.ReportPath && !options.WantsRun())
        return {std::nullopt, "--report wants a run (--cycles or --duration)"};
    if ((!options.Limits.empty() || options.MaxFail || options.MaxFailPercent ||
         options.MaxResponseMs) &&
        !options.WantsRun())
        return {std::nullopt, "--limit, --max-fail, --max-fail-percent and --max-response-ms "
                              "want a run (--cycles or --duration)"};
    if (options.Scan && (options.WantsRun() || options.Coil))
        return {std::nullopt, "--scan excludes --cycles, --duration, --zero and --unzero"};
    if (!options.Scan && (options.ScanBauds || options.ScanParities || options.ScanTimeout ||
                          options.ScanTurnaround))
        return {std::nullopt, "--scan-bauds, --scan-parities, --scan-timeout and "
                              "--scan-turnaround want --scan"};
    if (options.CoilAfterSeconds && (!options.Coil || !options.WantsRun()))
        return {std::nullopt, "--zero-after wants --zero or --unzero, and a run (--cycles or "
                              "--duration)"};
    return {std::move(options), {}};
}

std::string CliHelpText() {
    std::string text = "Usage: quellmark-cli [OPTION]... (--cycles N | --duration SECONDS)\n"
                       "       quellmark-cli [OPTION]... --zero | --unzero\n"
                       "       quellmark-cli [OPTION]... --scan\n"
                       "       quellmark-cli --list-ports | --help | --version\n\n";
    text += Wrap("Polls Modbus RTU transmitters on a serial port with function 3 (read holding "
                 "registers) or 4 (input registers), slave by slave from the first to the last "
                 "address, as the "
                 "Quellmark window does, and prints one row per slave: the values of its last "
                 "good reply, its good (OK) and failed (FAIL) polls, and its response times "
                 "(min / mean / p99 / max, from handing the request to the port to the good "
                 "reply). Every line the window would add to its error list goes to standard "
                 "error as it happens. The settings come from Config.ini beside the program "
                 "(or --config); options override them, and no file is ever written. While a "
                 "run is on and standard error is a terminal, a status line shows the progress; "
                 "Ctrl-C ends the run early and still prints the results.",
                 0, 79);
    text += "\nOptions:\n" + OptionTable().HelpText();
    text += "\nExit status:\n";
    text += Wrap("0 every poll was good (or the coil command was echoed); 1 at least one poll "
                 "failed (or the coil command timed out); 2 bad command line or settings; 3 the "
                 "port could not be opened, or was lost before the end; 4 interrupted (Ctrl-C, "
                 "SIGTERM) before the passes or the time were done, the results printed so far; "
                 "5 the record (--report) could not be written. With limits, 1 means a slave "
                 "failed its verdict. A scan: 0 a device was found, 1 none.",
                 2, 79);
    text += "\nExamples:\n  quellmark-cli --port /dev/ttyUSB0 --baud 115200 --from 1 --to 10 "
            "--cycles 100 --json\n"
            "  quellmark-cli --port /dev/ttyUSB0 --scan --scan-bauds 9600,19200 "
            "--scan-parities N,E\n";
    return text;
}
