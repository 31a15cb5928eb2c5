#include "TWakeWord.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

// steady_clock is CLOCK_MONOTONIC here, so its time points are absolute
// futex deadlines as they are.

TWakeWord::TWakeWord() = default;
TWakeWord::~TWakeWord() = default;

void TWakeWord::Bump() {
    Word.fetch_add(1, std::memory_order_seq_cst);
    // Paired with the sleeper, which counts itself before it looks at the word
    // once more: either it sees the new value or this sees it counted.
    if (Sleepers.load(std::memory_order_seq_cst) != 0)
        (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAKE_PRIVATE,
                        INT_MAX, nullptr, nullptr, 0);
}

void TWakeWord::WaitWhile(std::uint32_t seen, std::optional<Clock::time_point> until) {
    timespec deadline{};
    if (until) {
        const auto since = until->time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        if (seconds.count() < 0)
            return;
        deadline.tv_sec = static_cast<time_t>(seconds.count());
        deadline.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    }
    Sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (Word.load(std::memory_order_seq_cst) == seen)
        (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word),
                        FUTEX_WAIT_BITSET_PRIVATE, seen, until ? &deadline : nullptr, nullptr,
                        FUTEX_BITSET_MATCH_ANY);
    Sleepers.fetch_sub(1, std::memory_order_seq_cst);
}
