#include "TWriteThread.h"

#include "TComm.h"

TWriteThread::TWriteThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                           std::shared_ptr<TWriteQueue> queue, bool wakeForSent)
    : Device(device), NotifyWindow(std::move(notifyWindow)), Queue(std::move(queue)),
      WakeForSent(wakeForSent), Thread([this](std::stop_token stop) { Execute(std::move(stop)); }) {
}

void TWriteThread::Execute(std::stop_token stop) noexcept {
    try {
        std::stop_callback wake(stop, [this] { Device.Stop(); });
        TCommDevice::TuneThread(TCommDevice::TThreadRole::Writer);

        bool notify = true;
        for (;;) {
            std::optional<TWriteItem> item = Queue->TryTake();
            if (!item) {
                if (notify) {
                    if (!NotifyWindow->Post(WM_COMM_SENT, 0, 0, {}, WakeForSent)) {
                        PostHangupRequest();
                        break;
                    }
                    notify = false;
                }
                if (!Queue->WaitForItem(stop))
                    break; // stopped, or the reader found the device gone
                continue;
            }
            if (stop.stop_requested())
                break;
            const TCommDevice::TIo result =
                Device.Write(std::span<const char>(item->Copy.get(), item->Count));
            item.reset();
            if (result == TCommDevice::TIo::Stopped)
                break;
            if (result == TCommDevice::TIo::Failed) {
                PostHangupRequest(Device.WriteFailure());
                break;
            }
            notify = true;
        }
    } catch (...) {
        PostHangupRequest();
    }
    Queue->Close();
    Device.PurgeOutput();
}

void TWriteThread::PostHangupRequest(int reason) noexcept {
    NotifyWindow->Post(WM_COMM_HANGUP, 0, static_cast<std::uintptr_t>(reason));
}
