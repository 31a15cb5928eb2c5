#include "TRunClock.h"

#include <cstdio>

TRunClock& SystemClock() {
    static TSystemClock clock;
    return clock;
}

std::string TimeStampText(TDateTime time) {
    const std::tm t = LocalTime(time);
    char text[32];
    std::snprintf(text, sizeof text, "[%02d:%02d:%02d] ", t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string DateTimeText(TDateTime time) {
    const std::tm t = LocalTime(time);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}
