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

std::string IsoTimeText(TDateTime time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
    const std::tm t = LocalTime(time);
    const long offset = UtcOffsetSeconds(time);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>(ms), offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}
