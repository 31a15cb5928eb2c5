#include "TFreeMemory.h"

void FreeUnusedMemory() {
    // The allocators of the other systems give large freed ranges back themselves.
}
