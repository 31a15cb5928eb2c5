#pragma once

#include "ValueFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TIniFile;

/// The range a value column must keep to; a side that is not set is no limit.
struct TValueLimit {
    std::optional<double> Min;
    std::optional<double> Max;
    bool operator==(const TValueLimit&) const = default;
};

/// What a transmitter must do to pass: its values within their limits, at most
/// so many failed polls, and (if set) a response time p99 at most so long.
/// With no limit at all there is no verdict.
struct TLimits {
    /// By value column: Values[0] is Value1's.
    std::vector<TValueLimit> Values;
    std::optional<std::int64_t> MaxFail;
    std::optional<double> MaxFailPercent;
    std::optional<double> MaxResponseMs;

    bool Any() const;
    /// The limit of value column `column` (0 for Value1); none when it has none.
    const TValueLimit* ValueLimit(std::size_t column) const;
    bool operator==(const TLimits&) const = default;
};

/// A communication limit's number as Config.ini or the user writes it: a finite
/// decimal, nothing around it; none otherwise.
std::optional<double> ParseLimitNumber(const std::string& text);

/// The section of Config.ini that holds the limits, and its keys: "Value1 Min",
/// "Value1 Max", ..., "Max Fail", "Max Fail Percent", "Max Response ms".
inline constexpr const char* LimitsSection = "Limits";
std::string ValueLimitKey(std::size_t column, bool max);

/// The limits as Config.ini holds them; an empty or absent key is no limit.
/// Value limits are read as values of `format` show them (hex digits for
/// hex16). `Problems` names each key whose text is no such number
/// ("Value1 Min=abc"); that key counts as no limit.
struct TLimitsRead {
    TLimits Limits;
    std::vector<std::string> Problems;
};
TLimitsRead ReadLimits(const TIniFile& file, TValueFormat format);

/// Writes `limits` into section Limits for `columns` value columns, each key
/// (empty for no limit), when the user has edited them; the program writes
/// the section at no other time. Throws as TIniFile::WriteString does.
void WriteLimits(TIniFile& file, const TLimits& limits, TValueFormat format, std::size_t columns);

/// Why limits cannot be used; each front end says it in its own language.
struct TLimitsProblem {
    enum class TKind : std::uint8_t { None, MinAboveMax, NegativeFail, PercentRange, NegativeTime };
    TKind Kind = TKind::None;
    std::size_t Column = 0; ///< for MinAboveMax: the value column (0 for Value1)
    explicit operator bool() const { return Kind != TKind::None; }
};

/// A minimum above its maximum, a percentage outside 0 to 100, a negative
/// count or time; none when `limits` can be used.
TLimitsProblem LimitsProblem(const TLimits& limits);
