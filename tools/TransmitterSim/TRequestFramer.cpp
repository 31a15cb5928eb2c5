#include "TRequestFramer.h"

#include <algorithm>

namespace {

constexpr std::size_t FrameLength = 8;

bool HasValidCrc(const std::uint8_t* frame) {
    const std::uint16_t crc = ModbusCrc16(frame, FrameLength - 2);
    return frame[6] == (crc & 0xFF) && frame[7] == (crc >> 8);
}

} // namespace

std::vector<TFrame8> TRequestFramer::Feed(TByteSpan bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::vector<TFrame8> frames;
    std::size_t at = 0;
    while (pending_.size() - at >= FrameLength) {
        if (HasValidCrc(pending_.data() + at)) {
            TFrame8 frame{};
            std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(at), FrameLength,
                        frame.begin());
            frames.push_back(frame);
            at += FrameLength;
        } else {
            ++at;
            ++discarded_;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return frames;
}
