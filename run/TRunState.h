#pragma once

#include "ModbusRtu.h"
#include "TLineHold.h"
#include "TPollEvent.h"
#include "TResponseStats.h"
#include "TRunClock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TPollThread;

/// The request that waits for its reply: its address and its ticket (which
/// request of the program it is) in one word, so that the receive handler takes
/// both at once and a reply is never matched with a request sent after it.
class TPendingRequest {
public:
    struct TTaken {
        std::int32_t Slave;
        std::uint32_t Ticket;
    };

    /// Poll thread: a request for `slave` is now pending; returns its ticket (never 0).
    std::uint32_t Mark(std::int32_t slave);
    /// Receive handler: the pending request, if any; none is pending afterwards.
    std::optional<TTaken> Take();
    /// Receive handler: the ticket of the last request Take found pending (0 for none).
    std::uint32_t LastTaken() const { return FLastTaken; }
    void Clear() { Word = 0; }
    bool IsPending() const { return Word.load() != 0; }

private:
    std::atomic<std::uint64_t> Word{0}; // ticket << 32 | address; 0 for none
    std::atomic<std::uint32_t> LastTicket{0};
    std::uint32_t FLastTaken = 0; // the receive handler's own
};

/// Message number of a poll's result: the platform's first user message plus 100.
inline constexpr int WM_POLL_RESULT = 1024 + 100;
/// The second parameter of WM_POLL_RESULT.
inline constexpr std::int32_t PollResultGood = 0;
inline constexpr std::int32_t PollResultTimeout = 1;

/// The caption of the send panel before the first request.
inline constexpr const char* SendCaptionPrefix = "发送: ";

/// Everything a polling run and the coil commands share. It belongs to the
/// program, not to the window or the thread: one instance, `RunState`.
/// Members shared with the poll thread are atomic; the rest is touched on the
/// window thread only.
struct TRunState {
    TRunState();
    ~TRunState();
    TRunState(const TRunState&) = delete;
    TRunState& operator=(const TRunState&) = delete;

    /// The address being polled; written by the poll thread, read by the receive handler.
    std::atomic<std::int32_t> CurrentSlave{0};
    /// Set after each request, cleared by the block that answers it.
    TPendingRequest RequestPending;
    /// True from the start of a run until its stop; results are shown only meanwhile.
    std::atomic<bool> PollingActive{false};
    /// Created before the poll thread starts, freed after it has ended.
    std::unique_ptr<TPollEvent> PollEvent;
    std::unique_ptr<TPollThread> PollThread;

    /// Per position in the range (address minus Poll From); carried into the
    /// next run when it polls the same range, else started from 0.
    std::vector<std::int32_t> OkCounts;
    std::vector<std::int32_t> FailCounts;
    /// The range the counts were made for: Poll From and Poll To.
    std::optional<std::pair<std::int32_t, std::int32_t>> CountsRange;
    /// The values of the last good reply.
    std::vector<std::int32_t> RegisterValues;
    /// Response times per position, kept and reset with the counts.
    std::vector<TResponseStats> ResponseTimes;

    /// When the run started, on the monotonic clock.
    std::optional<TSteadyTime> PollStartTime;
    std::int32_t RateBaseOkCount = 0;
    std::int32_t RateOkDelta = 0;
    std::int32_t RateSampleSecond = 0;

    std::atomic<bool> CoilAck{false};
    std::atomic<bool> CoilTimedOut{false};
    std::atomic<bool> CoilCommandMode{false};
    /// The coil command last built and sent; an echo must equal it.
    TFrame8 CoilCommand{};

    /// A coil command's claim on the line while a run is on.
    TLineHold LineHold;

    /// Counts the runs, so that a result of an earlier run is never shown in a later one.
    std::atomic<std::uint32_t> RunId{0};

    /// The request last sent, as the send panel shows it; the poll thread
    /// writes it, the window thread reads it.
    std::string SendCaption() const;
    void SetSendCaption(std::string caption);

    /// Poll thread: the request now goes to the writer; its response time starts here.
    void MarkRequestHandedOver();
    /// Window thread: the time since the last hand-over, once per request; none
    /// when no request waits or its reply has already been timed.
    std::optional<std::chrono::microseconds> TakeResponseTime();

    /// Back to the state at program start; a run still on is stopped first (tests).
    void Reset();

private:
    /// Monotonic nanoseconds of the last hand-over; 0 for none.
    std::atomic<std::int64_t> HandedOverAt{0};
    mutable std::mutex SendCaptionMutex;
    std::string FSendCaption = SendCaptionPrefix;
};

/// The program's one run state.
extern TRunState RunState;
