#include "TCliReport.h"

#include <algorithm>
#include <cstdio>

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

std::vector<std::string> Header(const TCliResult& result) {
    std::vector<std::string> header{"Id"};
    for (std::int32_t i = 1; i <= result.ValueColumns; ++i)
        header.push_back("Value" + std::to_string(i));
    for (const char* name : {"OK", "FAIL", "min_ms", "mean_ms", "p99_ms", "max_ms"})
        header.emplace_back(name);
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
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) {
                // Numbers are right-aligned under their captions.
                if (i > 0)
                    line += "  ";
                line += std::string(widths[i] - row[i].size(), ' ') + row[i];
            }
            text += line + '\n';
        }
        text += "polls " + std::to_string(result.Polls) + " in " +
                Number(result.ElapsedSeconds, 3) + " s\n";
    }
    if (result.Coil)
        text += CoilLine(*result.Coil) + '\n';
    return text;
}

std::string CsvText(const TCliResult& result) {
    const auto join = [](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i)
            line += (i > 0 ? "," : "") + cells[i];
        return line + '\n';
    };
    if (!result.Ran) {
        if (!result.Coil)
            return {};
        return "command,slave,echo\n" + std::string(CoilName(result.Coil->Action)) + ',' +
               std::to_string(result.Coil->Slave) + ',' + (result.Coil->Echoed ? "true" : "false") +
               '\n';
    }
    std::string text = join(Header(result));
    for (const TCliSlave& slave : result.Slaves)
        text += join(Row(result, slave, ""));
    return text;
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (const char c : text) {
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
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                json += escaped;
            } else {
                json += c; // UTF-8 passes through
            }
        }
    }
    return json + '"';
}

std::string JsonText(const TCliResult& result) {
    const TCliSettings& s = result.Settings;
    std::string json = "{\"settings\": {\"port\": " + JsonString(s.Port) +
                       ", \"baud\": " + std::to_string(s.Baud) +
                       ", \"from\": " + std::to_string(s.From) +
                       ", \"to\": " + std::to_string(s.To) +
                       ", \"register_begin\": " + std::to_string(s.RegisterBegin) +
                       ", \"register_count\": " + std::to_string(s.RegisterCount) +
                       ", \"timeout_ms\": " + std::to_string(s.TimeoutMs) +
                       ", \"interval_ms\": " + std::to_string(s.IntervalMs) +
                       ", \"frame_break\": \"" + (s.FrameBreak == 1 ? "interval" : "length") +
                       "\", \"read_interval_ms\": " + std::to_string(s.ReadIntervalMs) + "}";
    json += ", \"elapsed_s\": " + Number(result.ElapsedSeconds, 3);
    json += ", \"polls\": " + std::to_string(result.Polls);
    json += ", \"slaves\": [";
    for (std::size_t i = 0; i < result.Slaves.size(); ++i) {
        const TCliSlave& slave = result.Slaves[i];
        json += (i > 0 ? ", " : "");
        json += "{\"id\": " + std::to_string(slave.Id) + ", \"ok\": " + std::to_string(slave.Ok) +
                ", \"fail\": " + std::to_string(slave.Fail) + ", \"values\": [";
        for (std::size_t v = 0; v < slave.Values.size(); ++v)
            json += (v > 0 ? ", " : "") + slave.Values[v];
        json += "], \"response_ms\": ";
        if (slave.Times.Count() == 0) {
            json += "null";
        } else {
            const std::vector<std::string> t = TimeCells(slave.Times, "");
            json += "{\"min\": " + t[0] + ", \"mean\": " + t[1] + ", \"p99\": " + t[2] +
                    ", \"max\": " + t[3] + "}";
        }
        json += "}";
    }
    json += "], \"errors\": [";
    for (std::size_t i = 0; i < result.Errors.size(); ++i)
        json += std::string(i > 0 ? ", " : "") + "{\"time\": " + JsonString(result.Errors[i].Time) +
                ", \"text\": " + JsonString(result.Errors[i].Text) + "}";
    json += "]";
    if (result.ErrorsOmitted > 0)
        json += ", \"errors_omitted\": " + std::to_string(result.ErrorsOmitted);
    if (result.Coil)
        json += ", \"coil\": {\"command\": \"" + std::string(CoilName(result.Coil->Action)) +
                "\", \"slave\": " + std::to_string(result.Coil->Slave) +
                ", \"echo\": " + (result.Coil->Echoed ? "true" : "false") + "}";
    return json + "}\n";
}

TCliErrorLine SplitErrorLine(const std::string& line, const std::string& now) {
    // "[hh:nn:ss] " as the error list stamps its lines.
    if (line.size() >= 11 && line[0] == '[' && line[9] == ']' && line[10] == ' ')
        return {line.substr(1, 8), line.substr(11)};
    return {now, line};
}
