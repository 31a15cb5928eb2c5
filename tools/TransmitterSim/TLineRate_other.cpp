// The BSDs and macOS number their speed constants by the rate itself.
#include "TLineRate.h"

#include <termios.h>

int TerminalRate(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return 0;
    return static_cast<int>(::cfgetospeed(&settings));
}
