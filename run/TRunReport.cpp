#include "TRunReport.h"

#include "FileReplace.h"

#include <cstdio>

namespace {

std::string Escaped(const std::string& text) {
    std::string html;
    html.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

std::string Cell(const std::string& text, const char* cls = nullptr) {
    return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" +
           Escaped(text) + "</td>";
}

std::string Head(const std::string& text) {
    return "<th>" + Escaped(text) + "</th>";
}

std::string LimitText(const std::optional<double>& value, TValueFormat format) {
    return value ? ValueText(*value, format) : "-";
}

const char* KindTitle(TInfoKind kind) {
    switch (kind) {
    case TInfoKind::Length:
        return "帧长度错误";
    case TInfoKind::Slave:
        return "应答站号不符";
    case TInfoKind::Crc:
        return "CRC校验错误";
    case TInfoKind::Function:
        return "接收帧功能码错误";
    case TInfoKind::ByteCount:
        return "数据长度错误";
    case TInfoKind::Exception:
        return "从机异常应答";
    case TInfoKind::Late:
        return "超时后应答";
    case TInfoKind::Discarded:
        return "残留数据已丢弃";
    case TInfoKind::PortLost:
        return "串口已断开";
    case TInfoKind::PortRestored:
        return "串口已恢复";
    case TInfoKind::PortOpen:
        return "串口打开失败";
    case TInfoKind::Rate:
        return "波特率未生效";
    case TInfoKind::LineSetting:
        return "校验位或停止位未生效";
    case TInfoKind::Overflow:
        return "丢弃的信息";
    case TInfoKind::Sent:
        return "发送";
    case TInfoKind::Other:
        break;
    }
    return "其他";
}

} // namespace

std::string ReportHtml(const TRunReport& r) {
    const TRunSettings& s = r.Settings;
    const TValueFormat format = s.ValueFormat;
    const bool judged = s.Limits.Any();
    const std::size_t columns =
        static_cast<std::size_t>(std::max(0, ValuesPerReply(format, s.RegisterCount)));

    std::string html =
        "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Quellmark 测试记录</title>\n<style>\n"
        "@page { size: A4; margin: 12mm; }\n"
        "body { font-family: sans-serif; font-size: 10pt; max-width: 186mm; margin: auto; }\n"
        "h1 { font-size: 14pt; } h2 { font-size: 11pt; margin-top: 1.2em; }\n"
        "table { border-collapse: collapse; width: 100%; margin: 0.4em 0; }\n"
        "th, td { border: 1px solid #999; padding: 2px 4px; text-align: left; "
        "vertical-align: top; }\n"
        "td.n { text-align: right; }\n"
        ".pass { background: #c8f0c8; } .fail { background: #f6c6c6; }\n"
        "tr { page-break-inside: avoid; }\n"
        "pre { white-space: pre-wrap; word-break: break-all; margin: 0; font-size: 8pt; }\n"
        "</style>\n</head>\n<body>\n";
    html += "<h1>Quellmark 测试记录</h1>\n<table class=\"about\">\n";
    const auto row = [&](const std::string& name, const std::string& value) {
        html += "<tr>" + Head(name) + Cell(value) + "</tr>\n";
    };
    row("工具", r.Tool + " " + r.Version);
    row("开始", DateTimeText(r.Started));
    row("结束", DateTimeText(r.Ended));
    row("串口", s.CommName);
    row("波特率", std::to_string(s.BaudRate));
    row("数据位 / 校验位 / 停止位",
        "8 / " + std::string(1, ParityLetter(s.Parity)) + " / " + std::to_string(s.StopBits));
    row("从机地址", std::to_string(s.PollFrom) + " - " + std::to_string(s.PollTo));
    row("功能码", s.FunctionCode == 4 ? "04 读输入寄存器" : "03 读保持寄存器");
    row("起始寄存器地址 / 请求寄存器数量",
        std::to_string(s.RegisterBegin) + " / " + std::to_string(s.RegisterCount));
    row("数据格式", ValueFormatName(format));
    row("应答超时 / 轮询延时",
        std::to_string(s.PollTimeout) + " ms / " + std::to_string(s.PollInterval) + " ms");
    row("帧判断方式", s.FixedInterval() ? "定间隔 " + std::to_string(s.ReadInterval) + " ms"
                                        : std::string("定长度"));
    html += "</table>\n";

    if (judged) {
        html += "<h2>判定条件</h2>\n<table class=\"limits\">\n<tr>" + Head("项目") + Head("下限") +
                Head("上限") + "</tr>\n";
        for (std::size_t c = 0; c < columns; ++c)
            if (const TValueLimit* limit = s.Limits.ValueLimit(c))
                html += "<tr>" + Cell("Value" + std::to_string(c + 1)) +
                        Cell(LimitText(limit->Min, format), "n") +
                        Cell(LimitText(limit->Max, format), "n") + "</tr>\n";
        html += "</table>\n<p>允许的失败次数: " +
                (s.Limits.MaxFail          ? std::to_string(*s.Limits.MaxFail)
                 : s.Limits.MaxFailPercent ? std::string("-")
                                           : std::string("0")) +
                "; 允许的失败率: " +
                (s.Limits.MaxFailPercent ? ValueText(*s.Limits.MaxFailPercent, {}) + "%" : "-") +
                "; 允许的响应时间P99: " +
                (s.Limits.MaxResponseMs
                     ? ValueText(*s.Limits.MaxResponseMs, TValueFormat{TValueType::Float32}) + " ms"
                     : "-") +
                "</p>\n";
    }

    html += "<h2>结果</h2>\n<table class=\"slaves\">\n<tr>" + Head("Id");
    // The values in one cell, a line each: up to 125 columns still fit an A4 page's width.
    if (columns > 0)
        html += Head("数值 最后 / 最小 / 最大 / 平均");
    html += Head("OK") + Head("FAIL") + Head("FAIL %") + Head("响应时间 最小/平均/P99/最大 ms");
    if (judged)
        html += Head("判定");
    html += "</tr>\n";
    int passed = 0;
    for (const TReportSlave& slave : r.Slaves) {
        html += "<tr class=\"slave\">" + Cell(std::to_string(slave.Id), "n");
        std::string values;
        for (std::size_t c = 0; c < columns; ++c) {
            const std::string last = c < slave.Values.size() ? slave.Values[c] : "-";
            std::string stats = "- / - / -";
            if (c < slave.Stats.size())
                if (const auto texts = ValueStatsTexts(slave.Stats[c], format))
                    stats = (*texts)[0] + " / " + (*texts)[1] + " / " + (*texts)[2];
            // Appended piece by piece: g++ 12 for mingw warns (falsely) of an
            // overlap on "\n" + a temporary.
            if (c > 0)
                values += '\n';
            values += "Value" + std::to_string(c + 1) + ": ";
            values += last;
            values += " / ";
            values += stats;
        }
        if (columns > 0)
            html += "<td class=\"values\"><pre>" + Escaped(values) + "</pre></td>";
        const std::int64_t polls = slave.Ok + slave.Fail;
        char share[32] = "-";
        if (polls > 0)
            std::snprintf(share, sizeof share, "%.1f",
                          100.0 * static_cast<double>(slave.Fail) / static_cast<double>(polls));
        html += Cell(std::to_string(slave.Ok), "n") + Cell(std::to_string(slave.Fail), "n") +
                Cell(share, "n");
        html += Cell(
            slave.Times.Count() == 0 ? std::string("-") : ResponseTimesText(slave.Times, 3), "n");
        if (judged && slave.Verdict) {
            passed += slave.Verdict->Pass ? 1 : 0;
            std::string text = slave.Verdict->Pass ? "合格" : "不合格";
            for (const TReason& reason : slave.Verdict->Reasons) {
                text += '\n';
                text += ReasonText(reason, format);
            }
            html += "<td class=\"verdict " + std::string(slave.Verdict->Pass ? "pass" : "fail") +
                    "\"><pre>" + Escaped(text) + "</pre></td>";
        }
        html += "</tr>\n";
    }
    html += "</table>\n";
    if (judged)
        html += "<p class=\"summary\">合格 " + std::to_string(passed) + " 台，不合格 " +
                std::to_string(static_cast<int>(r.Slaves.size()) - passed) + " 台</p>\n";

    html += "<h2>出错信息</h2>\n";
    if (r.Lines.empty())
        html += "<p>无</p>\n";
    else {
        html += "<table class=\"lines\">\n<tr>" + Head("种类") + Head("次数") + Head("最先几条") +
                "</tr>\n";
        for (const TReportLines& lines : r.Lines) {
            std::string first;
            for (const std::string& line : lines.First)
                first += (first.empty() ? "" : "\n") + line;
            html += "<tr>" + Cell(KindTitle(lines.Kind)) + Cell(std::to_string(lines.Count), "n") +
                    "<td><pre>" + Escaped(first) + "</pre></td></tr>\n";
        }
        html += "</table>\n";
    }
    html += "</body>\n</html>\n";
    return html;
}

std::error_code WriteReportFile(const std::string& path, const std::string& content) {
    return ReplaceFileContent(path, content);
}
