#include "TWakeWord.h"

#include <condition_variable>
#include <mutex>

struct TWakeWord::TFallback {
    std::mutex Mutex;
    std::condition_variable Changed;
};

TWakeWord::TWakeWord() : Fallback(new TFallback) {}

TWakeWord::~TWakeWord() {
    delete Fallback;
}

void TWakeWord::Bump() {
    Word.fetch_add(1, std::memory_order_seq_cst);
    if (Sleepers.load(std::memory_order_seq_cst) == 0)
        return;
    // Through the mutex, so that a sleeper between its look at the word and
    // its wait cannot miss the notice.
    { std::scoped_lock lock(Fallback->Mutex); }
    Fallback->Changed.notify_all();
}

void TWakeWord::WaitWhile(std::uint32_t seen, std::optional<Clock::time_point> until) {
    std::unique_lock lock(Fallback->Mutex);
    Sleepers.fetch_add(1, std::memory_order_seq_cst);
    const auto changed = [&] { return Word.load(std::memory_order_seq_cst) != seen; };
    if (until)
        Fallback->Changed.wait_until(lock, *until, changed);
    else
        Fallback->Changed.wait(lock, changed);
    Sleepers.fetch_sub(1, std::memory_order_seq_cst);
}
