#include "TFreeMemory.h"

#include <malloc.h>

void FreeUnusedMemory() {
    // Many small lines freed at once leave the heap's free pages mapped.
    (void)::malloc_trim(0);
}
