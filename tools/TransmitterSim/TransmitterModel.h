#pragma once

#include "ValueFormat.h"

#include <cstdint>
#include <string>

/// Value `index` of simulated transmitter `slave`, `elapsedMs` after the simulator started.
/// Value 0 is a ramp (slave × 100000 plus one step every 100 ms), value 1 a sine of amplitude
/// 10000 and period 10 s with a phase per slave; higher values are derived from these two:
/// even ones are the negated ramp minus the index, odd ones the sine times the index. So every
/// register of a block moves, and negative numbers appear on the line.
std::int32_t SimulatedValue(int slave, int index, std::int64_t elapsedMs);

/// Holding register `address` of `slave`: registers 2i and 2i + 1 carry value i, the high
/// half in the even register, as the master decodes them.
std::uint16_t SimulatedRegister(int slave, int address, std::int64_t elapsedMs);

/// The same for a transmitter that reports its values in `format`: a 32-bit format keeps
/// value i in registers 2i and 2i + 1 in the format's word order (a float being the value
/// divided by 100, so that it has a fraction); a 16-bit format keeps value i, taken to 16
/// bits, in register i.
std::uint16_t SimulatedRegister(int slave, int address, std::int64_t elapsedMs,
                                TValueFormat format);
