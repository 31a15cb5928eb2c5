#pragma once

#include "ModbusRtu.h"

#include <cstddef>
#include <cstdint>
#include <vector>

/// Cuts the byte stream a master sends into 8-byte requests. A request is recognised by its
/// CRC: while the first eight pending bytes do not form a frame with a valid CRC, the oldest
/// byte is dropped, so the framer finds its way back after noise or a broken request without
/// relying on line timing.
class TRequestFramer {
public:
    /// Appends `bytes` and returns every request they complete, in arrival order.
    std::vector<TFrame8> Feed(TByteSpan bytes);

    /// Bytes dropped so far while looking for a valid frame.
    std::uint64_t DiscardedBytes() const { return discarded_; }

    /// Bytes kept for a frame that is not complete yet (always fewer than eight).
    std::size_t PendingBytes() const { return pending_.size(); }

private:
    std::vector<std::uint8_t> pending_;
    std::uint64_t discarded_ = 0;
};
