#include "TIntervalPacer.h"

// No per-thread timer setting here: the margin adapts to the wake-ups as they come.
void TuneThreadForPacing() {}
