#pragma once

#include "TCommDevice.h"
#include "TNotifyWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>

/// The reader: reads blocks by the read rule and posts each to the window
/// thread as WM_COMM_DATA; line events as WM_COMM_ERROR and WM_COMM_MODEM.
/// A failing or vanished device ends it with WM_COMM_HANGUP. It starts on
/// construction and is stopped by RequestStop, which wakes the device.
class TReadThread {
public:
    /// `blockLength` is at most `bufferSize`. `onDeviceLost` runs on the reader
    /// once, when the device has failed.
    TReadThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                std::uint16_t blockLength, std::uint16_t bufferSize,
                std::function<void()> onDeviceLost);

    void RequestStop() { Thread.request_stop(); }
    void Join() {
        if (Thread.joinable())
            Thread.join();
    }

private:
    void Execute(std::stop_token stop) noexcept;
    bool DeliverBlock(const char* data, std::size_t count);
    void PostLineEvent(const TLineEvent& event);
    void PostHangupRequest() noexcept;

    TCommDevice& Device;
    std::shared_ptr<TNotifyWindow> NotifyWindow;
    std::uint16_t BlockLength;
    std::uint16_t BufferSize;
    std::function<void()> OnDeviceLost;
    std::jthread Thread; // last: starts once everything above is set
};
