#pragma once

// The name a writer gives the temporary file it makes beside a settings file,
// "." + base + "." + pid + "." + n, so that the clean-up at start-up removes
// exactly those and nothing a user could have put there.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace TemporaryNameDetail {

// A decimal number only as the writer prints it: digits, no leading zero.
inline std::optional<std::uint64_t> Decimal(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace TemporaryNameDetail

/// The temporary name number `n` of process `pid` for the file named `base`.
inline std::string TemporaryName(std::string_view base, std::uint64_t pid, std::uint64_t n) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "." + string.
    std::string name(1, '.');
    name.append(base).append(1, '.').append(std::to_string(pid)).append(1, '.');
    return name.append(std::to_string(n));
}

/// The id of the process that made `entry`, when `entry` is a temporary name
/// for the file named `base`; nothing for any other name.
inline std::optional<std::uint64_t> TemporaryOwner(std::string_view entry, std::string_view base) {
    if (entry.size() < base.size() + 2 || entry.front() != '.' ||
        entry.substr(1, base.size()) != base || entry[base.size() + 1] != '.')
        return std::nullopt;
    const std::string_view numbers = entry.substr(base.size() + 2);
    const std::size_t dot = numbers.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    const auto pid = TemporaryNameDetail::Decimal(numbers.substr(0, dot));
    if (!pid || *pid == 0 || !TemporaryNameDetail::Decimal(numbers.substr(dot + 1)))
        return std::nullopt;
    return pid;
}
