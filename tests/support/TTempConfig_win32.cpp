#include "TTempConfig.h"

// Windows file systems have no FIFOs (named pipes live outside them).
bool TTempConfig::MakeFifo() const {
    return false;
}
