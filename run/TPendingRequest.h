#pragma once

#include <atomic>
#include <cstdint>

/// The request in flight and how it ended, in one word: the receive path and
/// the poll thread each decide a request's outcome with one atomic step, so
/// exactly one of them does. A reply that comes after the wait has run out
/// finds the request timed out and is never counted or timed; a time-out that
/// meets a good reply in the same instant finds the request answered.
class TPendingRequest {
public:
    enum class TState : std::uint8_t {
        None,     ///< no request yet
        Pending,  ///< sent, nothing received for it yet
        Answered, ///< a block came for it that did not decide it (noise, a bad frame)
        Good,     ///< a good reply came in time
        Refused,  ///< an exception reply came in time
        TimedOut, ///< the wait ran out first
        Cancelled ///< the run stopped while it was open: never counted
    };

    struct TView {
        TState State = TState::None;
        std::int32_t Slave = 0;
        std::uint32_t Ticket = 0; ///< which request of the run it is; 0 for none
        /// Still waiting: a reply to it may decide it.
        bool Open() const { return State == TState::Pending || State == TState::Answered; }
    };

    /// Poll thread: a request for `slave` goes out; `at` is the moment it is
    /// handed over (monotonic nanoseconds). Returns its ticket, never 0.
    std::uint32_t Mark(std::int32_t slave, std::int64_t at);

    TView Load() const;

    /// Receive path: a block has come. A pending request is marked answered;
    /// returns the request as it was before.
    TView Take();

    /// Receive path: the block decides `ticket` as Good or Refused. False when
    /// the request is no longer open (its wait ran out, or it was decided).
    bool Resolve(std::uint32_t ticket, TState outcome);

    /// Poll thread: the wait for `ticket` ran out at `at`. Returns the state the
    /// request ends in: TimedOut, or what a reply decided in the same instant.
    TState Expire(std::uint32_t ticket, std::int64_t at);
    /// Poll thread: the run stops while it waits for `ticket`. Returns the state
    /// the request ends in: Cancelled, or what a reply decided before.
    TState Cancel(std::uint32_t ticket);

    /// When the request last marked was handed over, and when the one last
    /// timed out ran out (monotonic nanoseconds).
    std::int64_t HandedOverAt() const { return FHandedOverAt.load(); }
    std::int64_t ExpiredAt() const { return FExpiredAt.load(); }

    void Clear() { Word = 0; }

private:
    TState Close(std::uint32_t ticket, TState end);
    static std::uint64_t Pack(TState state, std::int32_t slave, std::uint32_t ticket);
    static TView Unpack(std::uint64_t word);

    std::atomic<std::uint64_t> Word{0}; // ticket << 32 | state << 24 | 24 bits of the address
    std::uint32_t LastTicket = 0;       // poll thread only
    std::atomic<std::int64_t> FHandedOverAt{0};
    std::atomic<std::int64_t> FExpiredAt{0};
};
