#include "TLimits.h"

#include "TIniFile.h"

#include <charconv>
#include <cmath>

namespace {

constexpr const char* MaxFailKey = "Max Fail";
constexpr const char* MaxFailPercentKey = "Max Fail Percent";
constexpr const char* MaxResponseKey = "Max Response ms";

// The most value columns a reply can have: 125 registers as 16-bit values.
constexpr std::size_t MostColumns = 125;

std::string DecimalText(double value) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

} // namespace

std::optional<double> ParseLimitNumber(const std::string& text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool TLimits::Any() const {
    for (const TValueLimit& limit : Values)
        if (limit.Min || limit.Max)
            return true;
    return MaxFail || MaxFailPercent || MaxResponseMs;
}

const TValueLimit* TLimits::ValueLimit(std::size_t column) const {
    if (column >= Values.size() || (!Values[column].Min && !Values[column].Max))
        return nullptr;
    return &Values[column];
}

std::string ValueLimitKey(std::size_t column, bool max) {
    return "Value" + std::to_string(column + 1) + (max ? " Max" : " Min");
}

TLimitsRead ReadLimits(const TIniFile& file, TValueFormat format) {
    TLimitsRead read;
    const auto text = [&](const std::string& key) {
        return file.ReadString(LimitsSection, key, "");
    };
    // Only the keys the section has are read: every read reads the file.
    for (const std::string& key : file.ReadSection(LimitsSection)) {
        for (std::size_t column = 0; column < MostColumns; ++column)
            for (const bool max : {false, true}) {
                if (!SameIniName(key, ValueLimitKey(column, max)))
                    continue;
                const std::string value = text(key);
                if (value.empty())
                    continue;
                const std::optional<double> number = ParseValueText(value, format);
                if (!number) {
                    read.Problems.push_back(key + "=" + value);
                    continue;
                }
                if (read.Limits.Values.size() <= column)
                    read.Limits.Values.resize(column + 1);
                (max ? read.Limits.Values[column].Max : read.Limits.Values[column].Min) = number;
            }
    }
    const auto number = [&](const char* key) -> std::optional<double> {
        const std::string value = text(key);
        if (value.empty())
            return std::nullopt;
        const std::optional<double> parsed = ParseLimitNumber(value);
        if (!parsed)
            read.Problems.push_back(std::string(key) + "=" + value);
        return parsed;
    };
    if (const std::optional<double> fail = number(MaxFailKey)) {
        if (*fail >= 0 && *fail == std::floor(*fail))
            read.Limits.MaxFail = static_cast<std::int64_t>(*fail);
        else
            read.Problems.push_back(std::string(MaxFailKey) + "=" + text(MaxFailKey));
    }
    read.Limits.MaxFailPercent = number(MaxFailPercentKey);
    read.Limits.MaxResponseMs = number(MaxResponseKey);
    return read;
}

void WriteLimits(TIniFile& file, const TLimits& limits, TValueFormat format, std::size_t columns) {
    for (std::size_t column = 0; column < columns; ++column) {
        const TValueLimit limit =
            column < limits.Values.size() ? limits.Values[column] : TValueLimit{};
        file.WriteString(LimitsSection, ValueLimitKey(column, false),
                         limit.Min ? ValueText(*limit.Min, format) : "");
        file.WriteString(LimitsSection, ValueLimitKey(column, true),
                         limit.Max ? ValueText(*limit.Max, format) : "");
    }
    file.WriteString(LimitsSection, MaxFailKey,
                     limits.MaxFail ? std::to_string(*limits.MaxFail) : "");
    file.WriteString(LimitsSection, MaxFailPercentKey,
                     limits.MaxFailPercent ? DecimalText(*limits.MaxFailPercent) : "");
    file.WriteString(LimitsSection, MaxResponseKey,
                     limits.MaxResponseMs ? DecimalText(*limits.MaxResponseMs) : "");
}

TLimitsProblem LimitsProblem(const TLimits& limits) {
    using TKind = TLimitsProblem::TKind;
    for (std::size_t column = 0; column < limits.Values.size(); ++column) {
        const TValueLimit& limit = limits.Values[column];
        if (limit.Min && limit.Max && *limit.Min > *limit.Max)
            return {TKind::MinAboveMax, column};
    }
    if (limits.MaxFail && *limits.MaxFail < 0)
        return {TKind::NegativeFail};
    if (limits.MaxFailPercent && (*limits.MaxFailPercent < 0 || *limits.MaxFailPercent > 100))
        return {TKind::PercentRange};
    if (limits.MaxResponseMs && *limits.MaxResponseMs < 0)
        return {TKind::NegativeTime};
    return {};
}
