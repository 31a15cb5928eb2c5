#include "TCliReport.h"

#include "TOptionTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace {

constexpr int MsDecimals = 3; // microsecond resolution

const char* CoilName(TCoilAction action) {
    return action == TCoilAction::Zero ? "zero" : "unzero";
}

/// The line the window writes for a coil command's outcome.
std::string CoilLine(const TCliCoil& coil) {
    if (coil.Action == TCoilAction::Zero)
        return coil.Echoed ? "清零成功！" : "清零超时！";
    return coil.Echoed ? "反清零成功！" : "反清零超时！";
}

// With limits the table and the CSV carry each value column's statistics and
// the verdict; without, they stay as they were.
bool Judged(const TCliResult& result) {
    return result.Settings.Limits.Any();
}

std::vector<std::string> Header(const TCliResult& result) {
    std::vector<std::string> header{"Id"};
    for (std::int32_t i = 1; i <= result.ValueColumns; ++i)
        header.push_back("Value" + std::to_string(i));
    for (const char* name : {"OK", "FAIL", "min_ms", "mean_ms", "p99_ms", "max_ms"})
        header.emplace_back(name);
    if (Judged(result)) {
        for (std::int32_t i = 1; i <= result.ValueColumns; ++i)
            for (const char* figure : {"_min", "_max", "_mean"})
                header.push_back("Value" + std::to_string(i) + figure);
        header.emplace_back("verdict");
        header.emplace_back("reasons");
    }
    return header;
}

/// min, mean, p99, max in ms; `none` for each when the slave never answered.
std::vector<std::string> TimeCells(const TResponseStats& times, const std::string& none) {
    if (times.Count() == 0)
        return {none, none, none, none};
    return {MillisecondsText(static_cast<double>(*times.MinUs()), MsDecimals),
            MillisecondsText(*times.MeanUs(), MsDecimals),
            MillisecondsText(static_cast<double>(*times.P99Us()), MsDecimals),
            MillisecondsText(static_cast<double>(*times.MaxUs()), MsDecimals)};
}

std::vector<std::string> Row(const TCliResult& result, const TCliSlave& slave,
                             const std::string& none) {
    std::vector<std::string> row{std::to_string(slave.Id)};
    for (std::int32_t i = 0; i < result.ValueColumns; ++i) {
        const auto index = static_cast<std::size_t>(i);
        row.push_back(index < slave.Values.size() ? slave.Values[index] : "");
    }
    row.push_back(std::to_string(slave.Ok));
    row.push_back(std::to_string(slave.Fail));
    for (std::string& cell : TimeCells(slave.Times, none))
        row.push_back(std::move(cell));
    if (Judged(result)) {
        const TValueFormat format = result.Settings.ValueFormat;
        for (std::int32_t i = 0; i < result.ValueColumns; ++i) {
            const auto index = static_cast<std::size_t>(i);
            const auto texts = index < slave.Stats.size()
                                   ? ValueStatsTexts(slave.Stats[index], format)
                                   : std::nullopt;
            if (texts)
                row.insert(row.end(), texts->begin(), texts->end());
            else
                row.insert(row.end(), {none, none, none});
        }
        row.push_back(slave.Verdict ? (slave.Verdict->Pass ? "pass" : "fail") : none);
        std::string reasons;
        if (slave.Verdict)
            for (const TReason& reason : slave.Verdict->Reasons)
                reasons += (reasons.empty() ? "" : "; ") + ReasonText(reason, format);
        row.push_back(reasons.empty() ? none : reasons);
    }
    return row;
}

std::string Number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

std::string TableText(const TCliResult& result) {
    std::string text;
    if (result.Ran) {
        std::vector<std::vector<std::string>> rows{Header(result)};
        for (const TCliSlave& slave : result.Slaves)
            rows.push_back(Row(result, slave, "-"));
        std::vector<std::size_t> widths(rows.front().size(), 0);
        for (const auto& row : rows)
            for (std::size_t i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], row[i].size());
        // The reasons are text, and the last column: left-aligned, unpadded.
        const std::size_t reasons = Judged(result) ? widths.size() - 1 : widths.size();
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) {
                // Numbers are right-aligned under their captions.
                if (i > 0)
                    line += "  ";
                if (i != reasons)
                    line += std::string(widths[i] - row[i].size(), ' ');
                line += row[i];
            }
            text += line + '\n';
        }
        text += "polls " + std::to_string(result.Polls) + " in " +
                Number(result.ElapsedSeconds, 3) + " s" +
                (result.Interrupted ? " (interrupted)" : "") + "\n";
    }
    if (result.Coil)
        text += CoilLine(*result.Coil) + '\n';
    return text;
}

std::string CsvText(const TCliResult& result) {
    const auto join = [](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            // A field with a separator or a quote is quoted, its quotes doubled.
            std::string cell = cells[i];
            if (cell.find_first_of(",\"\n") != std::string::npos) {
                std::string quoted = "\"";
                for (const char c : cell)
                    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
                cell = quoted + "\"";
            }
            line += (i > 0 ? "," : "") + cell;
        }
        return line + '\n';
    };
    std::string text;
    if (result.Ran) {
        text = join(Header(result));
        for (const TCliSlave& slave : result.Slaves)
            text += join(Row(result, slave, ""));
    }
    // A command after a run follows its table, after an empty line.
    if (result.Coil)
        text += std::string(text.empty() ? "" : "\n") + "command,slave,echo\n" +
                CoilName(result.Coil->Action) + ',' + std::to_string(result.Coil->Slave) + ',' +
                (result.Coil->Echoed ? "true" : "false") + '\n';
    return text;
}

namespace {

/// The length of the well-formed UTF-8 sequence at `at`; 0 when the byte there
/// starts none (a stray continuation byte, an overlong form, a surrogate, a
/// cut sequence, beyond U+10FFFF).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char c = byte(at + i);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

/// A statistic as a JSON number: a float value may be infinite, which JSON has no
/// number for.
std::string JsonNumber(double value) {
    if (!std::isfinite(value))
        return "null";
    return ValueText(value, TValueFormat{TValueType::Int32});
}

} // namespace

std::string JsonString(const std::string& text) {
    std::string json;
    json.reserve(text.size() + 2);
    json += '"';
    for (std::size_t at = 0; at < text.size(); ++at) {
        // A run of plain ASCII goes in at once: a flood's lines are long.
        std::size_t plain = at;
        while (plain < text.size()) {
            const auto c = static_cast<unsigned char>(text[plain]);
            if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
                break;
            ++plain;
        }
        if (plain > at) {
            json.append(text, at, plain - at);
            at = plain;
            if (at == text.size())
                break;
        }
        const char c = text[at];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // Valid UTF-8 passes through; a byte that is not (a port name in
            // another encoding) becomes the replacement character, so that
            // the record stays valid JSON.
            const std::size_t length = Utf8SequenceLength(text, at);
            if (length == 0) {
                json += "\\ufffd";
            } else {
                json.append(text, at, length);
                at += length - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                json += escaped;
            } else {
                json += c;
            }
        }
    }
    return json + '"';
}

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case 0:
        return "pass";
    case 3:
        return "port_error";
    case 4:
        return "interrupted";
    default:
        return "fail";
    }
}

void WriteJson(std::ostream& out, const TCliResult& result) {
    // Written piece by piece: the error lines alone may hold 64 MiB, and a
    // record built whole beside them would double what the process holds.
    const TRunSettings& s = result.Settings;
    std::string head =
        "{\"tool\": \"quellmark-cli\", \"version\": " + JsonString(result.Version) +
        ", \"started\": " + JsonString(IsoTimeText(result.Started)) +
        ", \"config\": " + (result.ConfigPath ? JsonString(*result.ConfigPath) : "null") +
        ", \"requested\": ";
    if (result.Cycles)
        head += "{\"cycles\": " + std::to_string(*result.Cycles) + "}";
    else if (result.DurationSeconds)
        head += "{\"duration_s\": " + NumberText(*result.DurationSeconds) + "}";
    else
        head += "null";
    head += ", \"result\": \"" + std::string(ResultName(result.RunCode)) + "\"";
    head += ", \"interrupted\": " + std::string(result.Interrupted ? "true" : "false");
    head += ", \"settings\": {\"port\": " + JsonString(s.CommName) +
            ", \"baud\": " + std::to_string(s.BaudRate) + ", \"parity\": \"" +
            ParityLetter(s.Parity) + "\", \"stop_bits\": " + std::to_string(s.StopBits) +
            ", \"from\": " + std::to_string(s.PollFrom) + ", \"to\": " + std::to_string(s.PollTo) +
            ", \"register_begin\": " + std::to_string(s.RegisterBegin) +
            ", \"register_count\": " + std::to_string(s.RegisterCount) +
            ", \"function\": " + std::to_string(s.FunctionCode) + ", \"format\": \"" +
            ValueFormatName(s.ValueFormat) + "\"" +
            ", \"timeout_ms\": " + std::to_string(s.PollTimeout) +
            ", \"interval_ms\": " + std::to_string(s.PollInterval) + ", \"frame_break\": \"" +
            (s.FixedInterval() ? "interval" : "length") +
            "\", \"read_interval_ms\": " + std::to_string(s.ReadInterval) + "}";
    head += ", \"elapsed_s\": " + Number(result.ElapsedSeconds, 3);
    head += ", \"polls\": " + std::to_string(result.Polls);
    head += ", \"slaves\": [";
    out << head;
    for (std::size_t i = 0; i < result.Slaves.size(); ++i) {
        const TCliSlave& slave = result.Slaves[i];
        std::string json = i > 0 ? ", " : "";
        json += "{\"id\": " + std::to_string(slave.Id) + ", \"ok\": " + std::to_string(slave.Ok) +
                ", \"fail\": " + std::to_string(slave.Fail) + ", \"values\": [";
        bool textual = false;
        for (std::size_t v = 0; v < slave.ValuesJson.size(); ++v) {
            json += (v > 0 ? ", " : "") + slave.ValuesJson[v];
            textual = textual || slave.ValuesJson[v] == "null";
        }
        json += "]";
        // A float that is no number is null among the values; its text stays here.
        if (textual) {
            json += ", \"values_text\": [";
            for (std::size_t v = 0; v < slave.Values.size(); ++v)
                json += (v > 0 ? ", " : "") + JsonString(slave.Values[v]);
            json += "]";
        }
        json += ", \"stats\": [";
        for (std::size_t v = 0; v < slave.Stats.size(); ++v) {
            const TValueStats& st = slave.Stats[v];
            json += v > 0 ? ", " : "";
            if (st.Count == 0) {
                json += "null";
                continue;
            }
            json += "{\"min\": " + JsonNumber(st.Min) + ", \"max\": " + JsonNumber(st.Max) +
                    ", \"mean\": " + JsonNumber(*st.Mean()) + "}";
        }
        json += "]";
        if (slave.Verdict) {
            json += std::string(", \"verdict\": \"") + (slave.Verdict->Pass ? "pass" : "fail") +
                    "\", \"reasons\": [";
            for (std::size_t r = 0; r < slave.Verdict->Reasons.size(); ++r)
                json += (r > 0 ? ", " : "") +
                        JsonString(ReasonText(slave.Verdict->Reasons[r], s.ValueFormat));
            json += "]";
        }
        json += ", \"response_ms\": ";
        if (slave.Times.Count() == 0) {
            json += "null";
        } else {
            const std::vector<std::string> t = TimeCells(slave.Times, "");
            json += "{\"min\": " + t[0] + ", \"mean\": " + t[1] + ", \"p99\": " + t[2] +
                    ", \"max\": " + t[3] + "}";
        }
        out << json << '}';
    }
    out << "], \"errors\": [";
    std::string entry;
    for (std::size_t i = 0; i < result.Errors.size(); ++i) {
        const TCliErrorLine& e = result.Errors[i];
        entry.assign(i > 0 ? ", " : "");
        entry.append("{\"time\": ").append(JsonString(e.Time));
        entry.append(", \"text\": ").append(JsonString(e.Text));
        entry.append(", \"kind\": \"").append(InfoKindName(e.Kind));
        entry.append("\", \"slave\": ").append(e.Slave ? std::to_string(*e.Slave) : "null");
        entry.append(", \"at\": ").append(JsonString(IsoTimeText(e.At))).append("}");
        out << entry;
    }
    out << ']';
    if (result.ErrorsOmitted > 0)
        out << ", \"errors_omitted\": " << result.ErrorsOmitted;
    if (result.Coil)
        out << ", \"coil\": {\"command\": \"" << CoilName(result.Coil->Action)
            << "\", \"slave\": " << result.Coil->Slave
            << ", \"echo\": " << (result.Coil->Echoed ? "true" : "false") << '}';
    out << "}\n";
}

TCliErrorLine SplitErrorLine(const TInfoLine& line) {
    TCliErrorLine split{{}, {}, line.Kind, line.Slave, line.At};
    // "[hh:nn:ss] " as the error list stamps its lines.
    const std::string& text = line.Text;
    if (text.size() >= 11 && text[0] == '[' && text[9] == ']' && text[10] == ' ') {
        split.Time = text.substr(1, 8);
        split.Text = text.substr(11);
    } else {
        split.Time = TimeStampText(line.At).substr(1, 8);
        split.Text = text;
    }
    return split;
}

void KeepErrorLine(TCliResult& result, const TInfoLine& line) {
    const std::size_t bytes = line.Text.size();
    if (result.ErrorsOmitted > 0 || result.Errors.size() >= MaxJsonErrors ||
        result.ErrorBytes + bytes > MaxJsonErrorBytes) {
        ++result.ErrorsOmitted;
        return;
    }
    result.ErrorBytes += bytes;
    result.Errors.push_back(SplitErrorLine(line));
}
