#include "TPendingRequest.h"

std::uint64_t TPendingRequest::Pack(TState state, std::int32_t slave, std::uint32_t ticket) {
    return std::uint64_t{ticket} << 32 | std::uint64_t{static_cast<std::uint8_t>(state)} << 24 |
           (static_cast<std::uint32_t>(slave) & 0xFF'FFFFU);
}

TPendingRequest::TView TPendingRequest::Unpack(std::uint64_t word) {
    TView view;
    view.Ticket = static_cast<std::uint32_t>(word >> 32);
    view.State = static_cast<TState>((word >> 24) & 0xFFU);
    // 24 bits with their sign: an address is one byte, but a wrong one must
    // stay what it was.
    const auto low = static_cast<std::uint32_t>(word & 0xFF'FFFFU);
    view.Slave = static_cast<std::int32_t>(low << 8) >> 8;
    return view;
}

std::uint32_t TPendingRequest::Mark(std::int32_t slave, std::int64_t at) {
    if (++LastTicket == 0) // after 2^32 requests: 0 stays "none"
        ++LastTicket;
    FHandedOverAt = at;
    Word = Pack(TState::Pending, slave, LastTicket);
    return LastTicket;
}

TPendingRequest::TView TPendingRequest::Load() const {
    return Unpack(Word.load());
}

TPendingRequest::TView TPendingRequest::Take() {
    std::uint64_t word = Word.load();
    for (;;) {
        const TView view = Unpack(word);
        if (view.State != TState::Pending ||
            Word.compare_exchange_weak(word, Pack(TState::Answered, view.Slave, view.Ticket)))
            return view;
    }
}

bool TPendingRequest::Resolve(std::uint32_t ticket, TState outcome) {
    std::uint64_t word = Word.load();
    for (;;) {
        const TView view = Unpack(word);
        if (view.Ticket != ticket || !view.Open())
            return false;
        if (Word.compare_exchange_weak(word, Pack(outcome, view.Slave, ticket)))
            return true;
    }
}

TPendingRequest::TState TPendingRequest::Close(std::uint32_t ticket, TState end) {
    std::uint64_t word = Word.load();
    for (;;) {
        const TView view = Unpack(word);
        if (view.Ticket != ticket)
            return end;
        if (!view.Open())
            return view.State;
        if (Word.compare_exchange_weak(word, Pack(end, view.Slave, ticket)))
            return end;
    }
}

TPendingRequest::TState TPendingRequest::Expire(std::uint32_t ticket, std::int64_t at) {
    // Stored first: a late reply that finds the request timed out reads it.
    FExpiredAt = at;
    return Close(ticket, TState::TimedOut);
}

TPendingRequest::TState TPendingRequest::Cancel(std::uint32_t ticket) {
    return Close(ticket, TState::Cancelled);
}
