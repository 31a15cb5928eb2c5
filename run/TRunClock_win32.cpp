#include "TRunClock.h"

std::tm LocalTime(TDateTime time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm local{};
    localtime_s(&local, &seconds);
    return local;
}

long UtcOffsetSeconds(TDateTime time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm local = LocalTime(time);
    // The local fields read back as if they were UTC, less the real instant.
    return static_cast<long>(_mkgmtime(&local) - seconds);
}
