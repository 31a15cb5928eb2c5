#include "TIntervalPacer.h"

#include <algorithm>

void TIntervalPacer::Woke(Clock::time_point target, Clock::time_point woke) {
    if (woke < target)
        return;
    // Half as much again as the lateness seen, so that a wake-up a little
    // later than the last late one is still covered.
    const Clock::duration late = woke - target;
    const Clock::duration wanted = std::clamp(late + late / 2, LeastMargin, MostMargin);
    if (wanted > Margin)
        Margin = wanted;
    else
        Margin -= (Margin - wanted) / 32;
}
