#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The registers that hold `values`, two a value, high register first, as the transmitters
/// lay out their signed 32-bit values.
std::vector<std::uint16_t> RegistersOf(const std::vector<std::int32_t>& values);

/// The same registers as the libmodbus slave's --registers option takes them: "0,123,...".
std::string RegisterOption(const std::vector<std::int32_t>& values);
