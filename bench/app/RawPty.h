#pragma once

#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <string>
#include <termios.h>

/// Opens a pseudo-terminal pair for a bench's device, the program's side raw;
/// returns the path the program opens. A bench cannot go on without it, so a
/// failure ends the process.
inline std::string OpenRawPty(int& master, int& slave) {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    termios settings{};
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave, TCSANOW, &settings);
    return name;
}
