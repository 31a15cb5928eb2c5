#include "SlaveRegisters.h"

std::vector<std::uint16_t> RegistersOf(const std::vector<std::int32_t>& values) {
    std::vector<std::uint16_t> registers;
    for (const std::int32_t value : values) {
        const auto word = static_cast<std::uint32_t>(value);
        registers.push_back(static_cast<std::uint16_t>(word >> 16));
        registers.push_back(static_cast<std::uint16_t>(word & 0xFFFF));
    }
    return registers;
}

std::string RegisterOption(const std::vector<std::int32_t>& values) {
    std::string list;
    for (const std::uint16_t reg : RegistersOf(values))
        list += std::to_string(reg) + ',';
    list.pop_back();
    return list;
}
