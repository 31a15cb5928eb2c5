#include "TReadThread.h"

#include "TComm.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

// A refused line-event notice ends the reader like any refused post.
struct ERefusedPost : std::runtime_error {
    ERefusedPost() : std::runtime_error("notice refused") {}
};

} // namespace

TReadThread::TReadThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                         std::uint16_t blockLength, std::uint16_t bufferSize,
                         std::function<void()> onDeviceLost,
                         std::function<void(const char*, std::uint16_t)> sink)
    : Device(device), NotifyWindow(std::move(notifyWindow)),
      BlockLength(std::min(blockLength, bufferSize)), BufferSize(bufferSize),
      OnDeviceLost(std::move(onDeviceLost)), Sink(std::move(sink)),
      Thread([this](std::stop_token stop) { Execute(std::move(stop)); }) {}

void TReadThread::Execute(std::stop_token stop) noexcept {
    try {
        std::stop_callback wake(stop, [this] { Device.Stop(); });
        TCommDevice::TuneThread(TCommDevice::TThreadRole::Reader);

        std::unique_ptr<char[]> buffer(new char[BufferSize]());
        const TCommDevice::TLineEventSink lineEvents = [this](const TLineEvent& event) {
            PostLineEvent(event);
        };

        for (;;) {
            std::size_t received = 0;
            const TCommDevice::TIo result =
                Device.ReadBlock(std::span<char>(buffer.get(), BlockLength), received, lineEvents);
            if (result == TCommDevice::TIo::Stopped)
                break;
            if (result == TCommDevice::TIo::Interrupted) {
                ServeDiscard(buffer.get(), received);
                continue;
            }
            // Bytes that came before a failure are still delivered.
            if (received > 0 && !DeliverBlock(buffer.get(), received))
                break;
            if (result == TCommDevice::TIo::Failed) {
                // The writer is told first, so that whoever handles the notice
                // already finds sending refused.
                if (OnDeviceLost)
                    OnDeviceLost();
                PostHangupRequest(Device.ReadFailure());
                break;
            }
            // A read that ended empty (total time-out) is simply started again;
            // ending here would leave an open port that never receives again.
        }
    } catch (...) {
        PostHangupRequest();
    }
    MarkEnded();
    Device.PurgeInput();
}

std::vector<char> TReadThread::DiscardInput(std::optional<std::uint16_t> blockLength) {
    std::unique_lock lock(DiscardMutex);
    if (Ended)
        return {};
    // Before each poll the line is nearly always quiet: then there is nothing
    // to take, and the reader need not be woken for it. (Under the lock: a
    // reader not yet ended still has its device.)
    if (!blockLength && Device.NothingReceived())
        return {};
    const std::uint64_t ticket = ++DiscardsAsked;
    if (blockLength)
        NextBlockLength = std::min(std::max<std::uint16_t>(*blockLength, 1), BufferSize);
    // Under the lock, so that the reader, which clears the interrupt under it
    // too, never misses a request nor serves one twice.
    Device.Interrupt();
    DiscardDone.wait(lock, [&] { return Ended || DiscardsServed >= ticket; });
    return std::exchange(Discarded, {});
}

void TReadThread::ServeDiscard(char* buffer, std::size_t received) {
    std::uint64_t asked = 0;
    {
        std::scoped_lock lock(DiscardMutex);
        Device.ClearInterrupt();
        asked = DiscardsAsked;
    }
    std::vector<char> bytes(buffer, buffer + received);
    // What waits in the device: its input queue holds a few kilobytes, and a
    // device that never stops sending must not keep the reader here.
    constexpr std::size_t MostWaiting = 65536;
    while (bytes.size() < MostWaiting) {
        const std::size_t count = Device.ReadWaiting(std::span<char>(buffer, BufferSize));
        bytes.insert(bytes.end(), buffer, buffer + count);
        if (count < BufferSize)
            break;
    }
    std::scoped_lock lock(DiscardMutex);
    Discarded.insert(Discarded.end(), bytes.begin(), bytes.end());
    if (NextBlockLength)
        BlockLength = *std::exchange(NextBlockLength, std::nullopt);
    DiscardsServed = asked;
    DiscardDone.notify_all();
}

void TReadThread::MarkEnded() noexcept {
    std::scoped_lock lock(DiscardMutex);
    Ended = true;
    DiscardDone.notify_all();
}

bool TReadThread::DeliverBlock(const char* data, std::size_t count) {
    if (Sink) {
        // A block is never longer than the buffer, which a 16-bit size holds.
        try {
            Sink(data, static_cast<std::uint16_t>(count));
        } catch (...) {
            // The sink's own failure must not end reading.
        }
        return true;
    }
    std::shared_ptr<char[]> copy;
    try {
        copy = std::make_shared<char[]>(count + 1); // zero-filled: the 0 after the bytes
    } catch (const std::bad_alloc&) {
        PostHangupRequest();
        return false;
    }
    std::memcpy(copy.get(), data, count);
    // A block dropped because the window thread is far behind is counted and
    // reported there; reading goes on.
    if (NotifyWindow->PostBlock(count, std::move(copy)) == TNotifyWindow::TBlockPost::Refused) {
        PostHangupRequest();
        return false;
    }
    return true;
}

void TReadThread::PostLineEvent(const TLineEvent& event) {
    if (event.Error && !NotifyWindow->Post(WM_COMM_ERROR, 0, event.ErrorFlags))
        throw ERefusedPost();
    if (event.Modem != 0 && !NotifyWindow->Post(WM_COMM_MODEM, 0, event.Modem))
        throw ERefusedPost();
}

void TReadThread::PostHangupRequest(int reason) noexcept {
    NotifyWindow->Post(WM_COMM_HANGUP, 0, static_cast<std::uintptr_t>(reason));
}
