#include "TIntervalPacer.h"

#include <sys/prctl.h>

void TuneThreadForPacing() {
    // The default timer slack of 50 us lets the kernel defer a wake-up to
    // batch it with others; the pacer would only have to spin it away.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}
