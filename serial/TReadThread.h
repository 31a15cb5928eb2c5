#pragma once

#include "TCommDevice.h"
#include "TNotifyWindow.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

/// The reader: reads blocks by the read rule and posts each to the window
/// thread as WM_COMM_DATA, or hands it to a sink on this thread; line events
/// as WM_COMM_ERROR and WM_COMM_MODEM.
/// A failing or vanished device ends it with WM_COMM_HANGUP. It starts on
/// construction and is stopped by RequestStop, which wakes the device.
class TReadThread {
public:
    /// `blockLength` is at most `bufferSize`. `onDeviceLost` runs on the reader
    /// once, when the device has failed. With a `sink`, blocks go to it on the
    /// reader instead of to the window thread.
    TReadThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                std::uint16_t blockLength, std::uint16_t bufferSize,
                std::function<void()> onDeviceLost,
                std::function<void(const char*, std::uint16_t)> sink = {});

    void RequestStop() { Thread.request_stop(); }
    void Join() {
        if (Thread.joinable())
            Thread.join();
    }

    /// Any thread: drops the unfinished block and what waits in the device's
    /// input, and returns those bytes, oldest first. With `blockLength` (at
    /// most the buffer size) the blocks after it have that length. Returns
    /// nothing once the reader has ended.
    std::vector<char> DiscardInput(std::optional<std::uint16_t> blockLength);

private:
    void Execute(std::stop_token stop) noexcept;
    bool DeliverBlock(const char* data, std::size_t count);
    void PostLineEvent(const TLineEvent& event);
    /// `reason`: the system's error number of the failure, 0 for none.
    void PostHangupRequest(int reason = 0) noexcept;
    /// Reader: serves the discards asked so far; `buffer` holds the `received`
    /// bytes of the unfinished block.
    void ServeDiscard(char* buffer, std::size_t received);
    void MarkEnded() noexcept;

    TCommDevice& Device;
    std::shared_ptr<TNotifyWindow> NotifyWindow;
    std::uint16_t BlockLength; // reader only, but for the constructor
    std::uint16_t BufferSize;
    std::function<void()> OnDeviceLost;
    std::function<void(const char*, std::uint16_t)> Sink;

    std::mutex DiscardMutex;
    std::condition_variable DiscardDone;
    std::uint64_t DiscardsAsked = 0; // guarded by DiscardMutex, as are the four below
    std::uint64_t DiscardsServed = 0;
    std::optional<std::uint16_t> NextBlockLength;
    std::vector<char> Discarded;
    bool Ended = false;
    std::jthread Thread; // last: starts once everything above is set
};
