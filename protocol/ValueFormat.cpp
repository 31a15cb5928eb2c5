#include "ValueFormat.h"

#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

struct TTypeName {
    TValueType Type;
    const char* Name;
};
constexpr std::array<TTypeName, 6> TypeNames{{{TValueType::Int16, "int16"},
                                              {TValueType::Uint16, "uint16"},
                                              {TValueType::Hex16, "hex16"},
                                              {TValueType::Int32, "int32"},
                                              {TValueType::Uint32, "uint32"},
                                              {TValueType::Float32, "float32"}}};

struct TOrderName {
    TWordOrder Order;
    const char* Name;
};
constexpr std::array<TOrderName, 4> OrderNames{{{TWordOrder::ABCD, "abcd"},
                                                {TWordOrder::CDAB, "cdab"},
                                                {TWordOrder::BADC, "badc"},
                                                {TWordOrder::DCBA, "dcba"}}};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// Where byte i of the value (0 the most significant) lies among the four wire bytes.
constexpr std::array<std::array<std::size_t, 4>, 4> WirePlace{{
    {0, 1, 2, 3}, // ABCD
    {2, 3, 0, 1}, // CDAB
    {1, 0, 3, 2}, // BADC
    {3, 2, 1, 0}, // DCBA
}};

std::string FloatText(float value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    // Seven significant digits are what a float carries; %g drops trailing zeros.
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
    return text;
}

} // namespace

bool TValueFormat::Is32Bit() const {
    return Type == TValueType::Int32 || Type == TValueType::Uint32 || Type == TValueType::Float32;
}

std::optional<TValueFormat> ParseValueFormat(std::string_view text) {
    const std::string lower = Lower(text);
    const std::size_t colon = lower.find(':');
    const std::string typeName = lower.substr(0, colon);
    std::optional<TValueFormat> format;
    for (const TTypeName& t : TypeNames)
        if (typeName == t.Name)
            format = TValueFormat{t.Type, TWordOrder::ABCD};
    if (!format || colon == std::string::npos)
        return format;
    // Only a 32-bit value has an order of its words.
    if (!format->Is32Bit())
        return std::nullopt;
    const std::string orderName = lower.substr(colon + 1);
    for (const TOrderName& o : OrderNames)
        if (orderName == o.Name) {
            format->Order = o.Order;
            return format;
        }
    return std::nullopt;
}

std::string ValueFormatName(TValueFormat format) {
    std::string name;
    for (const TTypeName& t : TypeNames)
        if (t.Type == format.Type)
            name = t.Name;
    if (format.Is32Bit())
        for (const TOrderName& o : OrderNames)
            if (o.Order == format.Order)
                name += std::string(":") + o.Name;
    return name;
}

std::vector<TValueFormat> AllValueFormats() {
    std::vector<TValueFormat> formats;
    for (const TTypeName& t : TypeNames) {
        const TValueFormat format{t.Type, TWordOrder::ABCD};
        if (!format.Is32Bit()) {
            formats.push_back(format);
            continue;
        }
        for (const TOrderName& o : OrderNames)
            formats.push_back({t.Type, o.Order});
    }
    return formats;
}

int ValuesPerReply(TValueFormat format, int registerCount) {
    if (registerCount <= 0)
        return 0;
    return format.Is32Bit() ? registerCount / 2 : registerCount;
}

std::vector<TDecodedValue> DecodeValues(TByteSpan reply, int registerCount, TValueFormat format) {
    const int count = ValuesPerReply(format, registerCount);
    std::vector<TDecodedValue> values;
    values.reserve(static_cast<std::size_t>(count));
    const std::size_t width = format.Is32Bit() ? 4 : 2;
    for (int i = 0; i < count; ++i) {
        const std::size_t at = 3 + width * static_cast<std::size_t>(i);
        if (!format.Is32Bit()) {
            const auto word = static_cast<std::uint16_t>(reply[at] << 8 | reply[at + 1]);
            std::string text;
            switch (format.Type) {
            case TValueType::Int16:
                text = std::to_string(static_cast<std::int16_t>(word));
                values.push_back(
                    {text, text, static_cast<double>(static_cast<std::int16_t>(word))});
                continue;
            case TValueType::Hex16: {
                char hex[8];
                std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(word));
                values.push_back({hex, std::string("\"") + hex + "\"", static_cast<double>(word)});
                continue;
            }
            default:
                text = std::to_string(word);
                values.push_back({text, text, static_cast<double>(word)});
                continue;
            }
        }
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4; ++b)
            word = word << 8 | reply[at + WirePlace[static_cast<std::size_t>(format.Order)][b]];
        if (format.Type == TValueType::Float32) {
            const float value = std::bit_cast<float>(word);
            const std::string text = FloatText(value);
            values.push_back({text, std::isfinite(value) ? text : "null", value});
        } else if (format.Type == TValueType::Int32) {
            const auto value = static_cast<std::int32_t>(word);
            values.push_back(
                {std::to_string(value), std::to_string(value), static_cast<double>(value)});
        } else {
            values.push_back(
                {std::to_string(word), std::to_string(word), static_cast<double>(word)});
        }
    }
    return values;
}

std::optional<double> ParseValueText(std::string_view text, TValueFormat format) {
    std::string trimmed(text);
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
        trimmed.pop_back();
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
        trimmed.erase(trimmed.begin());
    if (trimmed.empty())
        return std::nullopt;
    const char* first = trimmed.data();
    const char* last = trimmed.data() + trimmed.size();
    if (format.Type == TValueType::Hex16) {
        if (trimmed.size() > 2 && trimmed[0] == '0' && (trimmed[1] == 'x' || trimmed[1] == 'X'))
            first += 2;
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(first, last, value, 16);
        if (ec != std::errc() || end != last || value > 0xFFFF)
            return std::nullopt;
        return static_cast<double>(value);
    }
    if (format.Type == TValueType::Float32) {
        double value = 0;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (ec != std::errc() || end != last || !std::isfinite(value))
            return std::nullopt;
        return value;
    }
    long long value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, 10);
    if (ec != std::errc() || end != last)
        return std::nullopt;
    const auto [least, most] = [&]() -> std::pair<long long, long long> {
        switch (format.Type) {
        case TValueType::Int16:
            return {-32768, 32767};
        case TValueType::Uint16:
            return {0, 65535};
        case TValueType::Uint32:
            return {0, 4294967295LL};
        default:
            return {-2147483648LL, 2147483647LL};
        }
    }();
    if (value < least || value > most)
        return std::nullopt;
    return static_cast<double>(value);
}

std::string ValueText(double number, TValueFormat format) {
    if (format.Type == TValueType::Hex16 && number >= 0 && number <= 0xFFFF &&
        number == std::floor(number)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(number));
        return hex;
    }
    if (format.Type != TValueType::Float32 && number == std::floor(number) &&
        std::fabs(number) < 1e15) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", number);
        return text;
    }
    if (!std::isfinite(number))
        return std::isnan(number) ? "NaN" : number < 0 ? "-inf" : "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", number);
    return text;
}

std::vector<std::uint8_t> EncodeValue32(std::uint32_t value, TWordOrder order) {
    std::vector<std::uint8_t> wire(4);
    for (std::size_t b = 0; b < 4; ++b)
        wire[WirePlace[static_cast<std::size_t>(order)][b]] =
            static_cast<std::uint8_t>(value >> (24 - 8 * b));
    return wire;
}
