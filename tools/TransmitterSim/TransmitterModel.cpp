#include "TransmitterModel.h"

#include <bit>
#include <cmath>
#include <numbers>

namespace {

constexpr std::int64_t RampStepMs = 100;
constexpr std::int64_t RampSpan = 100000;
constexpr std::int64_t SinePeriodMs = 10000;
constexpr double SineAmplitude = 10000.0;

std::int64_t Ramp(int slave, std::int64_t elapsedMs) {
    return std::int64_t{slave} * RampSpan + (elapsedMs / RampStepMs) % RampSpan;
}

std::int64_t Sine(int slave, std::int64_t elapsedMs) {
    const double phase = 2.0 * std::numbers::pi * static_cast<double>(elapsedMs % SinePeriodMs) /
                             static_cast<double>(SinePeriodMs) +
                         slave * std::numbers::pi / 8.0;
    return std::llround(SineAmplitude * std::sin(phase));
}

} // namespace

std::int32_t SimulatedValue(int slave, int index, std::int64_t elapsedMs) {
    if (elapsedMs < 0)
        elapsedMs = 0;
    std::int64_t value = 0;
    if (index == 0)
        value = Ramp(slave, elapsedMs);
    else if (index == 1)
        value = Sine(slave, elapsedMs);
    else if (index % 2 == 0)
        value = -(Ramp(slave, elapsedMs) + index);
    else
        value = Sine(slave, elapsedMs) * index;
    // Slaves up to 255 and indexes up to 32767 keep every value inside 32 bits.
    return static_cast<std::int32_t>(value);
}

std::uint16_t SimulatedRegister(int slave, int address, std::int64_t elapsedMs) {
    return SimulatedRegister(slave, address, elapsedMs, TValueFormat{});
}

std::uint16_t SimulatedRegister(int slave, int address, std::int64_t elapsedMs,
                                TValueFormat format) {
    if (!format.Is32Bit())
        return static_cast<std::uint16_t>(SimulatedValue(slave, address, elapsedMs));
    const std::int32_t value = SimulatedValue(slave, address / 2, elapsedMs);
    const std::uint32_t bits = format.Type == TValueType::Float32
                                   ? std::bit_cast<std::uint32_t>(static_cast<float>(value / 100.0))
                                   : static_cast<std::uint32_t>(value);
    const std::vector<std::uint8_t> wire = EncodeValue32(bits, format.Order);
    const std::size_t at = address % 2 == 0 ? 0 : 2;
    return static_cast<std::uint16_t>(wire[at] << 8 | wire[at + 1]);
}
