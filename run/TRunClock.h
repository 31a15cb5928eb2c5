#pragma once

#include <chrono>
#include <ctime>
#include <string>

/// A point on the wall clock, as the status line and the error list show it.
using TDateTime = std::chrono::system_clock::time_point;
/// A point on the monotonic clock, which measures how long a run has lasted:
/// setting the wall clock does not move it.
using TSteadyTime = std::chrono::steady_clock::time_point;

/// Where the run logic reads the time: the system clocks in the program, a
/// clock the test moves in tests.
class TRunClock {
public:
    virtual ~TRunClock() = default;
    virtual TDateTime Now() const = 0;
    virtual TSteadyTime Steady() const = 0;
};

/// The system's clocks.
class TSystemClock final : public TRunClock {
public:
    TDateTime Now() const override { return std::chrono::system_clock::now(); }
    TSteadyTime Steady() const override { return std::chrono::steady_clock::now(); }
};

/// The one system clock of the program.
TRunClock& SystemClock();

/// Local time as "[hh:nn:ss] " (24-hour, trailing blank): the stamp of an error line.
std::string TimeStampText(TDateTime time);

/// Local date and time as "yyyy-MM-dd hh:nn:ss".
std::string DateTimeText(TDateTime time);

/// Local date and time with milliseconds and the zone's offset, as ISO 8601
/// writes it: "2026-12-08T14:05:09.042+01:00".
std::string IsoTimeText(TDateTime time);

/// Broken-down local time of `time` (one implementation per OS).
std::tm LocalTime(TDateTime time);

/// How far local time is ahead of UTC at `time`, in seconds (one implementation per OS).
long UtcOffsetSeconds(TDateTime time);
