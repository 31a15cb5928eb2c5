#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

/// The parity of the serial line, as Config.ini writes it: N, E or O.
enum class TLineParity : std::uint8_t { None, Even, Odd };

/// 'N', 'E' or 'O'.
char ParityLetter(TLineParity parity);

/// "N", "E" or "O" (either case) as a parity; none for any other text.
std::optional<TLineParity> ParseParity(std::string_view text);
