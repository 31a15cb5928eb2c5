#pragma once

#include <chrono>

/// Times the pause between two polls without holding a core: the poll thread
/// sleeps on an absolute monotonic deadline until a margin before the end and
/// spins the rest, so the pause still ends on time. The margin follows how
/// late the sleeps of this thread have woken: it rises at once to cover a late
/// wake-up and sinks slowly back when wake-ups are prompt again.
class TIntervalPacer {
public:
    using Clock = std::chrono::steady_clock;

    /// Never less: a prompt wake-up still needs a few clock reads to land.
    static constexpr Clock::duration LeastMargin = std::chrono::microseconds(200);
    /// Never more: beyond this the sleep saves little. A platform whose sleeps
    /// are rounded to a coarse tick ends up here and spins as before.
    static constexpr Clock::duration MostMargin = std::chrono::milliseconds(20);

    /// Until when to sleep for a pause that ends at `end`.
    Clock::time_point SleepUntil(Clock::time_point end) const { return end - Margin; }

    /// A sleep meant to end at `target` ended at `woke`; an early end (cut
    /// short by something else) says nothing about the timer and is ignored.
    void Woke(Clock::time_point target, Clock::time_point woke);

    Clock::duration CurrentMargin() const { return Margin; }

private:
    Clock::duration Margin = std::chrono::milliseconds(1);
};

/// Asks the OS to wake this thread's timed sleeps as precisely as it can.
void TuneThreadForPacing();
