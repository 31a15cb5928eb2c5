#pragma once

#include <cstdint>

/// Value `index` of simulated transmitter `slave`, `elapsedMs` after the simulator started.
/// Value 0 is a ramp (slave × 100000 plus one step every 100 ms), value 1 a sine of amplitude
/// 10000 and period 10 s with a phase per slave; higher values are derived from these two:
/// even ones are the negated ramp minus the index, odd ones the sine times the index. So every
/// register of a block moves, and negative numbers appear on the line.
std::int32_t SimulatedValue(int slave, int index, std::int64_t elapsedMs);

/// Holding register `address` of `slave`: registers 2i and 2i + 1 carry value i, the high
/// half in the even register, as the master decodes them.
std::uint16_t SimulatedRegister(int slave, int address, std::int64_t elapsedMs);
