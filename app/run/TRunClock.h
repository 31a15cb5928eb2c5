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

/// Broken-down local time of `time` (one implementation per OS).
std::tm LocalTime(TDateTime time);
