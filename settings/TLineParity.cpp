#include "TLineParity.h"

char ParityLetter(TLineParity parity) {
    switch (parity) {
    case TLineParity::Even:
        return 'E';
    case TLineParity::Odd:
        return 'O';
    case TLineParity::None:
        break;
    }
    return 'N';
}

std::optional<TLineParity> ParseParity(std::string_view text) {
    if (text.size() != 1)
        return std::nullopt;
    switch (text[0]) {
    case 'N':
    case 'n':
        return TLineParity::None;
    case 'E':
    case 'e':
        return TLineParity::Even;
    case 'O':
    case 'o':
        return TLineParity::Odd;
    default:
        return std::nullopt;
    }
}
