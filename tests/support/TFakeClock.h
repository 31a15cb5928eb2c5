#pragma once

#include "TRunClock.h"

#include <ctime>

/// Clocks that move only when the test moves them: Advance moves both the wall
/// clock and the monotonic one, Set only the wall clock (as a clock step does).
class TFakeClock final : public TRunClock {
public:
    explicit TFakeClock(TDateTime start = LocalDateTime(2026, 3, 14, 10, 20, 30)) : Time(start) {}

    TDateTime Now() const override { return Time; }
    TSteadyTime Steady() const override { return SteadyTime; }
    void Set(TDateTime time) { Time = time; }
    void Advance(std::chrono::milliseconds step) {
        Time += step;
        SteadyTime += step;
    }

    /// The given local date and time.
    static TDateTime LocalDateTime(int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&t));
    }

private:
    TDateTime Time;
    TSteadyTime SteadyTime{std::chrono::hours(1000)};
};
