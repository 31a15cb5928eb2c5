#include "TReadThread.h"

#include "TComm.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// A refused line-event notice ends the reader like any refused post.
struct ERefusedPost : std::runtime_error {
    ERefusedPost() : std::runtime_error("notice refused") {}
};

} // namespace

TReadThread::TReadThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                         std::uint16_t blockLength, std::uint16_t bufferSize,
                         std::function<void()> onDeviceLost)
    : Device(device), NotifyWindow(std::move(notifyWindow)),
      BlockLength(std::min(blockLength, bufferSize)), BufferSize(bufferSize),
      OnDeviceLost(std::move(onDeviceLost)),
      Thread([this](std::stop_token stop) { Execute(std::move(stop)); }) {}

void TReadThread::Execute(std::stop_token stop) noexcept {
    try {
        std::stop_callback wake(stop, [this] { Device.Stop(); });
        TCommDevice::TuneThread(TCommDevice::TThreadRole::Reader);

        std::unique_ptr<char[]> buffer(new char[BufferSize]());
        const std::span<char> block(buffer.get(), BlockLength);
        const TCommDevice::TLineEventSink lineEvents = [this](const TLineEvent& event) {
            PostLineEvent(event);
        };

        for (;;) {
            std::size_t received = 0;
            const TCommDevice::TIo result = Device.ReadBlock(block, received, lineEvents);
            if (result == TCommDevice::TIo::Stopped)
                break;
            // Bytes that came before a failure are still delivered.
            if (received > 0 && !DeliverBlock(buffer.get(), received))
                break;
            if (result == TCommDevice::TIo::Failed) {
                // The writer is told first, so that whoever handles the notice
                // already finds sending refused.
                if (OnDeviceLost)
                    OnDeviceLost();
                PostHangupRequest();
                break;
            }
            // A read that ended empty (total time-out) is simply started again;
            // ending here would leave an open port that never receives again.
        }
    } catch (...) {
        PostHangupRequest();
    }
    Device.PurgeInput();
}

bool TReadThread::DeliverBlock(const char* data, std::size_t count) {
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

void TReadThread::PostHangupRequest() noexcept {
    NotifyWindow->Post(WM_COMM_HANGUP, 0, 0);
}
