#include "TSimOptions.h"

#include "TOptionTable.h"

#include <cstdint>

namespace {

using TSimOptionTable = TOptionTable<TSimOptions>;

constexpr int MaxDelayMs = 3'600'000;

TSimOptionTable::TApply Milliseconds(std::chrono::milliseconds TSimConfig::*member,
                                     const std::string& name) {
    return [member, name](TSimOptions& options, std::string_view text) -> std::string {
        const auto value = ParseNumberIn<int>(text, 0, MaxDelayMs);
        if (!value)
            return WantsFromTo(name, "milliseconds", 0, MaxDelayMs);
        options.sim.*member = std::chrono::milliseconds{*value};
        return {};
    };
}

std::optional<TSlaveRange> RangeOf(std::string_view text) {
    const std::size_t dash = text.find('-');
    const auto first = ParseNumber<int>(text.substr(0, dash));
    const auto last =
        dash == std::string_view::npos ? first : ParseNumber<int>(text.substr(dash + 1));
    if (!first || !last || *first < 1 || *last > 255 || *first > *last)
        return std::nullopt;
    return TSlaveRange{*first, *last};
}

std::optional<int> BaudOf(std::string_view text) {
    const auto value = ParseNumber<int>(text);
    if (!value || *value < 0 || (*value > 0 && *value < 50) || *value > 4'000'000)
        return std::nullopt;
    return value;
}

std::optional<char> ParityOf(std::string_view text) {
    if (text.size() != 1)
        return std::nullopt;
    switch (text[0]) {
    case 'N':
    case 'E':
    case 'O':
        return text[0];
    default:
        return std::nullopt;
    }
}

std::optional<int> StopBitsOf(std::string_view text) {
    if (text == "1" || text == "2")
        return text == "1" ? 1 : 2;
    return std::nullopt;
}

/// "BAUD:PARITY:STOP@FIRST-LAST", as --line takes it.
std::optional<TSlaveLine> SlaveLineOf(std::string_view text) {
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::optional<TSlaveRange> range = RangeOf(text.substr(at + 1));
    const std::string_view setting = text.substr(0, at);
    const std::size_t first = setting.find(':');
    const std::size_t second =
        first == std::string_view::npos ? first : setting.find(':', first + 1);
    if (!range || second == std::string_view::npos)
        return std::nullopt;
    const std::optional<int> baud = BaudOf(setting.substr(0, first));
    const std::optional<char> parity = ParityOf(setting.substr(first + 1, second - first - 1));
    const std::optional<int> stopBits = StopBitsOf(setting.substr(second + 1));
    if (!baud || !parity || !stopBits)
        return std::nullopt;
    return TSlaveLine{*range, TSimLine{*baud, *parity, *stopBits}};
}

std::string ParseRange(TSimOptions& options, std::string_view text) {
    const std::optional<TSlaveRange> range = RangeOf(text);
    if (!range)
        return "--slaves wants FIRST-LAST (or one address) with 1 <= FIRST <= LAST <= 255";
    options.sim.range = *range;
    return {};
}

TSimOptionTable OptionTable() {
    TSimOptionTable table{{
        {"--slaves", "FIRST-LAST",
         "Addresses that answer (default 1-10); one number for a single slave. Requests for "
         "other addresses, and broadcasts, get no reply.",
         ParseRange},
        {"--link", "PATH",
         "Also make a symbolic link at PATH to the pseudo-terminal (a stale link there is "
         "replaced); it is removed on exit.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             if (text.empty())
                 return "--link wants a path";
             options.linkPath = std::string(text);
             return {};
         }},
        {"--seed", "N",
         "Seed of the fault decisions (default 1); the same seed and the same requests give "
         "the same faults.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumber<std::uint64_t>(text);
             if (!value)
                 return "--seed wants a non-negative integer";
             options.sim.seed = *value;
             return {};
         }},
    }};
    const std::vector<std::pair<TFaultKind, std::string>> faultHelp{
        {TFaultKind::BadCrc, "reply with one CRC byte altered"},
        {TFaultKind::WrongSlave, "reply from the next slave address, with a matching CRC"},
        {TFaultKind::DamagedSlave,
         "reply whose address byte is altered on the way, its CRC left as sent"},
        {TFaultKind::Truncated, "only the first 1 to length-1 bytes of the reply"},
        {TFaultKind::ExtraBytes, "1 to 4 random bytes right after the reply"},
        {TFaultKind::Late, "the reply after --late-delay instead of --turnaround"},
        {TFaultKind::NoReply, "no reply at all"},
        {TFaultKind::Exception,
         "a 5-byte exception reply (function | 0x80, code 2) instead of the reply"},
    };
    for (const auto& [kind, help] : faultHelp) {
        std::string name = "--" + std::string(FaultName(kind));
        for (char& c : name)
            if (c == '_')
                c = '-';
        table.Options.push_back(
            {name, "RATE", "Probability per reply (0 to 1, default 0): " + help + ".",
             [kind, name](TSimOptions& options, std::string_view text) -> std::string {
                 const auto value = ParseNumberIn(text, 0.0, 1.0);
                 if (!value)
                     return WantsFromTo(name, "a probability", 0.0, 1.0);
                 options.sim.rates[kind] = *value;
                 return {};
             }});
    }
    std::vector<TSimOptionTable::TOption> more{
        {"--noise", "RATE",
         "Probability per reply (0 to 1, default 0) of 1 to 8 random bytes sent before it "
         "(after the turnaround), followed by --noise-gap of silence. Independent of the "
         "kinds above, which exclude each other (their rates may add up to 1 at most).",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumberIn(text, 0.0, 1.0);
             if (!value)
                 return WantsFromTo("--noise", "a probability", 0.0, 1.0);
             options.sim.rates.noise = *value;
             return {};
         }},
        {"--late-slaves", "FIRST-LAST",
         "Every read reply of these slaves (or of one address) is late, whatever --late says.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             options.sim.lateSlaves = RangeOf(text);
             if (!options.sim.lateSlaves)
                 return "--late-slaves wants FIRST-LAST (or one address) with 1 <= FIRST <= "
                        "LAST <= 255";
             return {};
         }},
        {"--value-format", "FORMAT[@FIRST-LAST]",
         "The slaves (all, or these) report their values in FORMAT: int16, uint16, hex16, or "
         "int32, uint32, float32 with a word order :abcd, :cdab, :badc or :dcba; a float is "
         "the integer value divided by 100. Repeatable; the first that names a slave holds. "
         "Default int32:abcd.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const std::size_t at = text.find('@');
             const std::optional<TValueFormat> format = ParseValueFormat(text.substr(0, at));
             std::optional<TSlaveRange> range = TSlaveRange{1, 255};
             if (at != std::string_view::npos)
                 range = RangeOf(text.substr(at + 1));
             if (!format || !range)
                 return "--value-format wants a format such as float32:cdab, and after @ "
                        "FIRST-LAST (or one address)";
             options.sim.formats.push_back({*range, *format});
             return {};
         }},
        {"--late-delay", "MS", "Silence before a late reply (default 700).",
         Milliseconds(&TSimConfig::lateDelay, "--late-delay")},
        {"--noise-gap", "MS",
         "Silence between noise and the reply (default 50); keep it above the master's "
         "inter-byte gap so that the noise arrives as a block of its own.",
         Milliseconds(&TSimConfig::noiseGap, "--noise-gap")},
        {"--turnaround", "MS", "Silence before an ordinary reply (default 0).",
         Milliseconds(&TSimConfig::turnaround, "--turnaround")},
        {"--baud", "N",
         "The slaves' rate: they answer only a master that has set the line to N, and send at "
         "most N/10 bytes a second (10 bits a byte), so that line time is real; 0 (default) "
         "takes any rate and sends every reply at once.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const std::optional<int> value = BaudOf(text);
             if (!value)
                 return "--baud wants 0 or a rate from 50 to 4000000";
             options.sim.line.baud = *value;
             return {};
         }},
        {"--parity", "N|E|O",
         "The slaves' parity (default N): a master that has set the line otherwise gets "
         "garbage, as from a real device. Read from the terminal: Linux's pseudo-terminals "
         "drop PARENB, so a master with parity shows it by checking it (INPCK), odd by PARODD.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const std::optional<char> parity = ParityOf(text);
             if (!parity)
                 return "--parity wants N, E or O";
             options.sim.line.parity = *parity;
             return {};
         }},
        {"--stop-bits", "1|2", "The slaves' stop bits (default 1), held as --parity is.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const std::optional<int> stopBits = StopBitsOf(text);
             if (!stopBits)
                 return "--stop-bits wants 1 or 2";
             options.sim.line.stopBits = *stopBits;
             return {};
         }},
        {"--line", "BAUD:PARITY:STOP@FIRST-LAST",
         "These slaves (or one address) are locked to their own line setting instead, for "
         "example 19200:E:1@3; BAUD 0 takes any rate. Repeatable; the first that names a "
         "slave holds.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const std::optional<TSlaveLine> line = SlaveLineOf(text);
             if (!line)
                 return "--line wants BAUD:PARITY:STOP@FIRST-LAST, such as 19200:E:1@3";
             options.sim.lines.push_back(*line);
             return {};
         }},
        {"--duration", "S",
         "Stop after S seconds (fractions allowed); 0 (default) runs until SIGINT or SIGTERM.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumberIn(text, 0.0, 1e7);
             if (!value)
                 return WantsFromTo("--duration", "seconds", 0.0, 1e7);
             options.durationSeconds = *value;
             return {};
         }},
        {"--freeze", "",
         "Keep every value at its start value, so that replies can be predicted exactly.",
         TSimOptionTable::Sets(&TSimOptions::freeze)},
        {"--faults-reads-only", "",
         "Spoil only read replies; coil echoes and exception replies always go out as they are.",
         [](TSimOptions& options, std::string_view) -> std::string {
             options.sim.faultsOnReadsOnly = true;
             return {};
         }},
        {"--verbose", "", "Log every request and what was sent for it on stderr.",
         TSimOptionTable::Sets(&TSimOptions::verbose)},
        {"--help", "", "Print this text and exit.", TSimOptionTable::Sets(&TSimOptions::help)},
    };
    table.Options.insert(table.Options.end(), more.begin(), more.end());
    return table;
}

} // namespace

TSimOptionsResult ParseSimOptions(std::span<const std::string> args) {
    TSimOptions options;
    std::string error = OptionTable().Parse(
        args, options, [](const std::string& arg) { return "unknown option " + arg; });
    if (!error.empty())
        return {std::nullopt, error};
    // A small allowance for rates such as 0.1 that do not add up exactly in binary.
    if (options.sim.rates.ExclusiveSum() > 1.0 + 1e-9)
        return {std::nullopt, "the fault rates (all but --noise) add up to more than 1"};
    return {options, {}};
}

std::vector<std::string> SimOptionNames() {
    std::vector<std::string> names;
    for (const TSimOptionTable::TOption& entry : OptionTable().Options)
        names.push_back(entry.Name);
    return names;
}

std::string SimHelpText(std::string_view program) {
    std::string text = "Usage: " + std::string(program) + " [OPTION]...\n\n";
    text += Wrap("Plays a line of Modbus RTU transmitters on a pseudo-terminal. It prints the "
                 "terminal's path as the first line on stdout; open that path with a Modbus "
                 "master. Slaves of the range answer function 3 (read holding registers, 1 to "
                 "125 registers) with values that change over time: registers 2i and 2i+1 hold "
                 "32-bit value i, high register first; value 0 is a ramp, value 1 a sine, even "
                 "values above them the negated ramp minus the index, odd ones the sine times "
                 "the index. Function 5 (write single coil) is echoed for FF00, F000 and 0000. "
                 "Requests are recognised by their CRC, so noise on the line is skipped.",
                 0, 79);
    text += "\nOptions:\n" + OptionTable().HelpText();
    text += '\n';
    text += Wrap("On exit (after --duration, SIGINT or SIGTERM) it prints a summary on stdout: "
                 "one key=value line per total (received_bytes, discarded_bytes, "
                 "unframed_bytes, received_requests, ignored_requests, read_requests, "
                 "coil_requests, other_requests, replied_good, replied_good_reads, "
                 "replied_good_coils, replied_exception, injected_<kind> for each fault kind and "
                 "noise, aborted_replies, sent_bytes), then one line per slave asked: slave=N "
                 "followed by the per-slave keys. A reply counts once: as replied_good_* or "
                 "replied_exception when it went out as answered, or under the fault injected "
                 "into it (a late reply under injected_late).",
                 0, 79);
    text += '\n';
    text += Wrap("Exit status: 0 after a normal end, 1 when the pseudo-terminal cannot be made "
                 "or served, 2 for a bad command line.",
                 0, 79);
    text += "\nExamples:\n  " + std::string(program) +
            " --link /tmp/ttyQM0 --slaves 1-10 --baud 9600 --seed 7 --bad-crc 0.05\n  " +
            std::string(program) +
            " --slaves 3-5 --baud 9600 --parity E --line 19200:N:2@5   (3 and 4 at 9600 8E1, 5 at "
            "19200 8N2)\n";
    return text;
}
