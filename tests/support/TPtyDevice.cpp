#include "TPtyDevice.h"

#include <algorithm>

void TPtyDevice::SetScript(TScript script) {
    std::scoped_lock lock(Mutex);
    Script = std::move(script);
}

void TPtyDevice::Write(const std::vector<std::uint8_t>& bytes) {
    WriteAll(bytes);
}

std::vector<TFrame8> TPtyDevice::Requests() const {
    std::scoped_lock lock(Mutex);
    return FRequests;
}

std::vector<std::chrono::steady_clock::time_point> TPtyDevice::RequestTimes() const {
    std::scoped_lock lock(Mutex);
    return FRequestTimes;
}

std::size_t TPtyDevice::RequestCount() const {
    std::scoped_lock lock(Mutex);
    return FRequests.size();
}

bool TPtyDevice::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(Mutex);
    return RequestArrived.wait_for(lock, timeout, [&] { return FRequests.size() >= count; });
}

void TPtyDevice::ClearRequests() {
    std::scoped_lock lock(Mutex);
    FRequests.clear();
    FRequestTimes.clear();
}

bool TPtyDevice::Take(const std::uint8_t* data, std::size_t count,
                      std::vector<std::uint8_t>& pending) {
    pending.insert(pending.end(), data, data + count);
    while (pending.size() >= 8) {
        TFrame8 request;
        std::copy_n(pending.begin(), 8, request.begin());
        pending.erase(pending.begin(), pending.begin() + 8);
        TScript script;
        {
            std::scoped_lock lock(Mutex);
            FRequests.push_back(request);
            FRequestTimes.push_back(std::chrono::steady_clock::now());
            script = Script;
        }
        RequestArrived.notify_all();
        if (!script)
            continue;
        for (const TDeviceReply& reply : script(request)) {
            if (!Pause(reply.Delay))
                return false;
            WriteAll(reply.Bytes);
        }
    }
    return true;
}

std::vector<std::uint8_t> GoodReply(int slave, int registerCount,
                                    const std::vector<std::int32_t>& values) {
    std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(slave), 0x03,
                                    static_cast<std::uint8_t>(2 * registerCount)};
    for (int r = 0; r < registerCount; ++r) {
        const std::size_t value = static_cast<std::size_t>(r / 2);
        std::uint16_t word = 0x1234;
        if (value < values.size()) {
            const auto bits = static_cast<std::uint32_t>(values[value]);
            word = static_cast<std::uint16_t>(r % 2 == 0 ? bits >> 16 : bits & 0xFFFF);
        }
        reply.push_back(static_cast<std::uint8_t>(word >> 8));
        reply.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    AppendCrc(reply);
    return reply;
}

std::vector<std::uint8_t> WithBadCrc(std::vector<std::uint8_t> frame) {
    frame.back() ^= 0x01;
    return frame;
}

TPtyDevice::TScript AnswerAll(std::function<std::vector<std::int32_t>(int slave)> valuesOf) {
    return [valuesOf = std::move(valuesOf)](const TFrame8& request) -> std::vector<TDeviceReply> {
        if (request[1] != 0x03)
            return {};
        const int count = request[4] * 256 + request[5];
        return {{GoodReply(request[0], count, valuesOf(request[0])), {}}};
    };
}
