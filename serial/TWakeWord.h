#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

/// A wake-up without a lock: a counter that wakers bump and sleepers watch.
/// A sleeper reads the counter, looks at its condition, and sleeps only while
/// the counter still holds what it read; a bump in between ends the sleep at
/// once, so no wake-up is lost. A bump makes a system call only while someone
/// sleeps. On Linux the sleep is a futex; elsewhere a mutex and a condition
/// variable stand in.
class TWakeWord {
public:
    using Clock = std::chrono::steady_clock;

    TWakeWord();
    ~TWakeWord();
    TWakeWord(const TWakeWord&) = delete;
    TWakeWord& operator=(const TWakeWord&) = delete;

    /// Any thread: the value to hand to WaitWhile, read before the condition.
    std::uint32_t Load() const { return Word.load(std::memory_order_seq_cst); }

    /// Any thread, after changing the condition: wakes every sleeper.
    void Bump();

    /// Sleeps while the counter equals `seen`, at most until `until` (none:
    /// without limit). May also return early without cause: the caller looks
    /// at its condition again.
    void WaitWhile(std::uint32_t seen, std::optional<Clock::time_point> until);

private:
    std::atomic<std::uint32_t> Word{0};
    std::atomic<std::uint32_t> Sleepers{0};
    struct TFallback;
    TFallback* Fallback = nullptr; // only where there is no futex
};
