// Kept apart: <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned TerminalOutputRate(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return 0;
    return settings.c_ospeed;
}

unsigned TerminalInputRate(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return 0;
    return settings.c_ispeed;
}
