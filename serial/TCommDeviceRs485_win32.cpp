// Windows drives RTS around each transmission itself when the device state
// asks for RTS toggling; there is no separate RS-485 mode to switch.

#include "TCommDevice.h"

int TCommDevice::SetRs485Direction(bool /*on*/) {
    return 0;
}
