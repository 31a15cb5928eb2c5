// Kept apart: <asm/termbits.h>, which has the exact rate, clashes with <termios.h>.
#include "TLineRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int TerminalRate(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return 0;
    return static_cast<int>(settings.c_ospeed);
}
