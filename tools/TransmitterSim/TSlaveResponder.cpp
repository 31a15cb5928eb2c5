#include "TSlaveResponder.h"

#include "TransmitterModel.h"

namespace {

constexpr std::uint8_t WriteSingleCoil = 0x05;
constexpr int RegisterSpace = 0x10000;

int Field(const TFrame8& frame, std::size_t at) {
    return frame[at] * 256 + frame[at + 1];
}

TAnswer Exception(const TFrame8& request, std::uint8_t code) {
    return {TAnswerKind::Exception, BuildExceptionReply(request[0], request[1], code)};
}

TAnswer ReadReply(const TFrame8& request, std::int64_t elapsedMs, TValueFormat format) {
    const int begin = Field(request, 2);
    const int count = Field(request, 4);
    if (count < 1 || count > MaxReadCount)
        return Exception(request, IllegalDataValue);
    if (begin + count > RegisterSpace)
        return Exception(request, IllegalDataAddress);
    std::vector<std::uint8_t> reply{request[0], request[1], static_cast<std::uint8_t>(2 * count)};
    reply.reserve(static_cast<std::size_t>(2 * count + 5));
    for (int address = begin; address < begin + count; ++address) {
        const std::uint16_t value = SimulatedRegister(request[0], address, elapsedMs, format);
        reply.push_back(static_cast<std::uint8_t>(value >> 8));
        reply.push_back(static_cast<std::uint8_t>(value & 0xFF));
    }
    AppendCrc(reply);
    return {TAnswerKind::ReadReply, std::move(reply)};
}

TAnswer CoilEcho(const TFrame8& request) {
    const int value = Field(request, 4);
    if (value != 0xFF00 && value != 0xF000 && value != 0x0000)
        return Exception(request, IllegalDataValue);
    return {TAnswerKind::CoilEcho, std::vector<std::uint8_t>(request.begin(), request.end())};
}

} // namespace

std::vector<std::uint8_t> BuildExceptionReply(std::uint8_t slave, std::uint8_t function,
                                              std::uint8_t code) {
    std::vector<std::uint8_t> reply{slave, static_cast<std::uint8_t>(function | 0x80), code};
    AppendCrc(reply);
    return reply;
}

TValueFormat TSlaveResponder::FormatOf(int slave) const {
    for (const TSlaveFormat& f : formats_)
        if (f.range.Contains(slave))
            return f.format;
    return {};
}

std::optional<TAnswer> TSlaveResponder::Answer(const TFrame8& request,
                                               std::int64_t elapsedMs) const {
    // Nobody answers a broadcast, whatever the range says.
    if (request[0] == 0 || !range_.Contains(request[0]))
        return std::nullopt;
    switch (request[1]) {
    case ReadHoldingRegisters:
    case ReadInputRegisters:
        return ReadReply(request, elapsedMs, FormatOf(request[0]));
    case WriteSingleCoil:
        return CoilEcho(request);
    default:
        return Exception(request, IllegalFunction);
    }
}
