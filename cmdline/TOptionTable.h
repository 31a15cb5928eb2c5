#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

/// `text` as a whole decimal number, or a decimal fraction for floating point (`format`
/// tells which forms); none when anything else is in it, or when it is not finite.
template <typename T>
std::optional<T> ParseNumber(std::string_view text,
                             std::chars_format format = std::chars_format::general) {
    T value{};
    const char* last = text.data() + text.size();
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>)
        result = std::from_chars(text.data(), last, value, format);
    else
        result = std::from_chars(text.data(), last, value, 10);
    if (text.empty() || result.ec != std::errc{} || result.ptr != last)
        return std::nullopt;
    if constexpr (std::is_floating_point_v<T>)
        if (!std::isfinite(value))
            return std::nullopt;
    return value;
}

/// `text` as a number from `min` to `max`, both included; none otherwise.
template <typename T>
std::optional<T> ParseNumberIn(std::string_view text, T min, T max,
                               std::chars_format format = std::chars_format::general) {
    const std::optional<T> value = ParseNumber<T>(text, format);
    if (!value || *value < min || *value > max)
        return std::nullopt;
    return value;
}

/// A number as options and their messages write it: "4000000", "0.5".
template <typename T> std::string NumberText(T value) {
    if constexpr (std::is_integral_v<T>) {
        return std::to_string(value);
    } else {
        char text[64];
        const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                          std::chars_format::fixed);
        return std::string(text, result.ptr);
    }
}

/// "MIN to MAX".
template <typename T> std::string RangeText(T min, T max) {
    return NumberText(min) + " to " + NumberText(max);
}

/// "NAME wants WHAT from MIN to MAX": what a value out of its range is told.
template <typename T>
std::string WantsFromTo(const std::string& name, const std::string& what, T min, T max) {
    return name + " wants " + what + " from " + RangeText(min, max);
}

/// `text` broken into lines of at most `width` characters, each starting with `indent`
/// spaces.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width);

/// The options of one program: each with its name (dashes included), the name of its value
/// in the help (empty for a flag), its help text, and how it stores its value in `TOptions`,
/// which returns an error text, empty on success.
template <typename TOptions> struct TOptionTable {
    using TApply = std::function<std::string(TOptions&, const std::string&)>;
    struct TOption {
        std::string Name;
        std::string ValueName;
        std::string Help;
        TApply Apply;
    };

    std::vector<TOption> Options;

    /// A flag that sets `field`.
    static TApply Sets(bool TOptions::*field) {
        return [field](TOptions& options, const std::string&) -> std::string {
            options.*field = true;
            return {};
        };
    }

    /// Applies the arguments after the program name to `options`. A value follows its option
    /// as the next argument or after '=' ("--baud 9600", "--baud=9600"). Returns the first
    /// error, empty when there is none; `unknown` words the one for an unknown argument.
    std::string Parse(std::span<const std::string> args, TOptions& options,
                      const std::function<std::string(const std::string&)>& unknown) const {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& arg = args[i];
            const std::size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            const TOption* option = nullptr;
            for (const TOption& candidate : Options)
                if (candidate.Name == name)
                    option = &candidate;
            if (option == nullptr)
                return unknown(arg);
            std::string value;
            if (option->ValueName.empty()) {
                if (equals != std::string::npos)
                    return name + " takes no value";
            } else if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size() && !IsOptionName(args[i + 1])) {
                value = args[++i];
            } else {
                return name + " wants a value (" + option->ValueName + ")";
            }
            if (std::string error = option->Apply(options, value); !error.empty())
                return error;
        }
        return {};
    }

    /// Whether `arg` names one of the options ("--baud", "--baud=9600"): an option
    /// that wants a value does not take the next option for it.
    bool IsOptionName(const std::string& arg) const {
        const std::string name = arg.substr(0, arg.find('='));
        for (const TOption& option : Options)
            if (option.Name == name)
                return true;
        return false;
    }

    /// Every option as --help lists it: its name and value, then its help indented below.
    std::string HelpText() const {
        std::string text;
        for (const TOption& option : Options) {
            text += "  " + option.Name + (option.ValueName.empty() ? "" : " " + option.ValueName) +
                    '\n';
            text += Wrap(option.Help, 6, 79);
        }
        return text;
    }
};
