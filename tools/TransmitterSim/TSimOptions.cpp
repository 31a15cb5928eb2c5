#include "TSimOptions.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <system_error>

namespace {

constexpr int MaxDelayMs = 3'600'000;

template <typename T> std::optional<T> ParseNumber(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end || text.empty())
        return std::nullopt;
    return value;
}

/// One option: its name, the name of its value (empty for a flag), its help, and how it
/// stores its value; `apply` returns an error text, empty on success.
struct TOptionSpec {
    std::string name;
    std::string valueName;
    std::string help;
    std::function<std::string(TSimOptions&, std::string_view)> apply;
};

std::function<std::string(TSimOptions&, std::string_view)>
Milliseconds(std::chrono::milliseconds TSimConfig::*member, const std::string& name) {
    return [member, name](TSimOptions& options, std::string_view text) -> std::string {
        const auto value = ParseNumber<int>(text);
        if (!value || *value < 0 || *value > MaxDelayMs)
            return name + " wants milliseconds from 0 to " + std::to_string(MaxDelayMs);
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

std::string ParseRange(TSimOptions& options, std::string_view text) {
    const std::optional<TSlaveRange> range = RangeOf(text);
    if (!range)
        return "--slaves wants FIRST-LAST (or one address) with 1 <= FIRST <= LAST <= 255";
    options.sim.range = *range;
    return {};
}

std::vector<TOptionSpec> OptionSpecs() {
    std::vector<TOptionSpec> specs{
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
    };
    const std::vector<std::pair<TFaultKind, std::string>> faultHelp{
        {TFaultKind::BadCrc, "reply with one CRC byte altered"},
        {TFaultKind::WrongSlave, "reply from the next slave address, with a matching CRC"},
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
        specs.push_back({name, "RATE", "Probability per reply (0 to 1, default 0): " + help + ".",
                         [kind, name](TSimOptions& options, std::string_view text) -> std::string {
                             const auto value = ParseNumber<double>(text);
                             if (!value || !(*value >= 0.0 && *value <= 1.0))
                                 return name + " wants a probability from 0 to 1";
                             options.sim.rates[kind] = *value;
                             return {};
                         }});
    }
    std::vector<TOptionSpec> more{
        {"--noise", "RATE",
         "Probability per reply (0 to 1, default 0) of 1 to 8 random bytes sent before it "
         "(after the turnaround), followed by --noise-gap of silence. Independent of the "
         "kinds above, which exclude each other (their rates may add up to 1 at most).",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumber<double>(text);
             if (!value || !(*value >= 0.0 && *value <= 1.0))
                 return "--noise wants a probability from 0 to 1";
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
        {"--late-delay", "MS", "Silence before a late reply (default 700).",
         Milliseconds(&TSimConfig::lateDelay, "--late-delay")},
        {"--noise-gap", "MS",
         "Silence between noise and the reply (default 50); keep it above the master's "
         "inter-byte gap so that the noise arrives as a block of its own.",
         Milliseconds(&TSimConfig::noiseGap, "--noise-gap")},
        {"--turnaround", "MS", "Silence before an ordinary reply (default 0).",
         Milliseconds(&TSimConfig::turnaround, "--turnaround")},
        {"--baud", "N",
         "Send at most N/10 bytes a second (10 bits a byte), so that line time is real; 0 "
         "(default) sends every reply at once.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumber<int>(text);
             if (!value || *value < 0 || (*value > 0 && *value < 50) || *value > 4'000'000)
                 return "--baud wants 0 or a rate from 50 to 4000000";
             options.baud = *value;
             return {};
         }},
        {"--duration", "S",
         "Stop after S seconds (fractions allowed); 0 (default) runs until SIGINT or SIGTERM.",
         [](TSimOptions& options, std::string_view text) -> std::string {
             const auto value = ParseNumber<double>(text);
             if (!value || !(*value >= 0.0 && *value <= 1e7))
                 return "--duration wants seconds from 0 to 10000000";
             options.durationSeconds = *value;
             return {};
         }},
        {"--freeze", "",
         "Keep every value at its start value, so that replies can be predicted exactly.",
         [](TSimOptions& options, std::string_view) -> std::string {
             options.freeze = true;
             return {};
         }},
        {"--faults-reads-only", "",
         "Spoil only read replies; coil echoes and exception replies always go out as they are.",
         [](TSimOptions& options, std::string_view) -> std::string {
             options.sim.faultsOnReadsOnly = true;
             return {};
         }},
        {"--verbose", "", "Log every request and what was sent for it on stderr.",
         [](TSimOptions& options, std::string_view) -> std::string {
             options.verbose = true;
             return {};
         }},
        {"--help", "", "Print this text and exit.",
         [](TSimOptions& options, std::string_view) -> std::string {
             options.help = true;
             return {};
         }},
    };
    specs.insert(specs.end(), more.begin(), more.end());
    return specs;
}

// Breaks `text` into lines of at most `width` characters, each starting with `indent`.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width) {
    std::string out;
    std::string line(indent, ' ');
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(at, end - at);
        if (line.size() > indent && line.size() + 1 + word.size() > width) {
            out += line + '\n';
            line.assign(indent, ' ');
        }
        if (line.size() > indent)
            line += ' ';
        line += word;
        at = end + 1;
    }
    return out + line + '\n';
}

} // namespace

TSimOptionsResult ParseSimOptions(std::span<const std::string> args) {
    const std::vector<TOptionSpec> specs = OptionSpecs();
    TSimOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const TOptionSpec* entry = nullptr;
        for (const TOptionSpec& candidate : specs)
            if (candidate.name == name)
                entry = &candidate;
        if (entry == nullptr)
            return {std::nullopt, "unknown option " + arg};
        std::string value;
        if (entry->valueName.empty()) {
            if (equals != std::string::npos)
                return {std::nullopt, name + " takes no value"};
        } else if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return {std::nullopt, name + " wants a value (" + entry->valueName + ")"};
        }
        if (std::string error = entry->apply(options, value); !error.empty())
            return {std::nullopt, error};
    }
    // A small allowance for rates such as 0.1 that do not add up exactly in binary.
    if (options.sim.rates.ExclusiveSum() > 1.0 + 1e-9)
        return {std::nullopt, "the fault rates (all but --noise) add up to more than 1"};
    return {options, {}};
}

std::vector<std::string> SimOptionNames() {
    std::vector<std::string> names;
    for (const TOptionSpec& entry : OptionSpecs())
        names.push_back(entry.name);
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
    text += "\nOptions:\n";
    for (const TOptionSpec& entry : OptionSpecs()) {
        text += "  " + entry.name + (entry.valueName.empty() ? "" : " " + entry.valueName) + '\n';
        text += Wrap(entry.help, 6, 79);
    }
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
    text += "\nExample:\n  " + std::string(program) +
            " --link /tmp/ttyQM0 --slaves 1-10 --baud 9600 --seed 7 --bad-crc 0.05\n";
    return text;
}
