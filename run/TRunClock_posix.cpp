#include "TRunClock.h"

std::tm LocalTime(TDateTime time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

long UtcOffsetSeconds(TDateTime time) {
    return LocalTime(time).tm_gmtoff;
}
