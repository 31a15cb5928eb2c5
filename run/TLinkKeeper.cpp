#include "TLinkKeeper.h"

#include "TComm.h"
#include "TNoticeQueue.h"

#include <condition_variable>
#include <mutex>

namespace {

const char* KindText(TDeviceError::TKind kind) {
    switch (kind) {
    case TDeviceError::TKind::NotFound:
        return "设备不存在";
    case TDeviceError::TKind::Busy:
        return "设备被占用";
    case TDeviceError::TKind::Permission:
        return "无权访问";
    case TDeviceError::TKind::NotTerminal:
        return "不是串口设备";
    case TDeviceError::TKind::Unsupported:
        return "设置不被支持";
    case TDeviceError::TKind::None:
    case TDeviceError::TKind::Other:
        break;
    }
    return "系统错误";
}

const char* ParityText(std::uint8_t parity) {
    static const char* const letters[] = {"N", "O", "E", "M", "S"};
    return parity < 5 ? letters[parity] : "?";
}

const char* StopBitsText(std::uint8_t stopBits) {
    static const char* const texts[] = {"1", "1.5", "2"};
    return stopBits < 3 ? texts[stopBits] : "?";
}

/// "[<what>未生效!][设定:x][实际:y]", and the system's reason when the call failed.
std::string RefusedLine(const char* what, const char* asked, const char* held,
                        const TStateResult& result, TDateTime now) {
    std::string line =
        TimeStampText(now) + "[" + what + "未生效!][设定:" + asked + "][实际:" + held + "]";
    if (result.Error) {
        line += " " + result.Error.Text;
        if (result.Error.Code != 0)
            line += " (" + std::to_string(result.Error.Code) + ")";
    }
    return line;
}

} // namespace

std::string OpenFailureLine(const std::string& port, const TDeviceError& error, TDateTime now) {
    std::string line = TimeStampText(now) + "[串口打开失败!][" + port + "]";
    if (!error)
        return line;
    line += std::string("[") + KindText(error.Kind) + "] " + error.Text;
    if (error.Code != 0)
        line += " (" + std::to_string(error.Code) + ")";
    if (error.Kind == TDeviceError::TKind::Permission && !error.Group.empty())
        line += "。当前用户须属于设备所属的组 " + error.Group + "（例如: sudo usermod -aG " +
                error.Group + " 用户名），并重新登录";
    return line;
}

std::string RateRefusedLine(std::uint32_t asked, const TStateResult& result, TDateTime now) {
    const bool output = result.BaudRate != 0 && result.BaudRate != asked;
    const bool input = result.InputBaudRate != 0 && result.InputBaudRate != asked;
    if (!output && !input)
        return {};
    std::string line = TimeStampText(now) + "[波特率未生效!][设定:" + std::to_string(asked) +
                       "][实际:" + std::to_string(result.BaudRate) + "]";
    if (result.InputBaudRate != result.BaudRate && result.InputBaudRate != 0)
        line += "[接收:" + std::to_string(result.InputBaudRate) + "]";
    return line;
}

std::string ParityRefusedLine(std::uint8_t asked, const TStateResult& result, TDateTime now) {
    if (!result.Parity || *result.Parity == asked)
        return {};
    return RefusedLine("校验位", ParityText(asked), ParityText(*result.Parity), result, now);
}

std::string StopBitsRefusedLine(std::uint8_t asked, const TStateResult& result, TDateTime now) {
    if (!result.StopBits || *result.StopBits == asked)
        return {};
    return RefusedLine("停止位", StopBitsText(asked), StopBitsText(*result.StopBits), result, now);
}

std::string DataDroppedLine(std::uint64_t blocks, std::uint64_t bytes, TDateTime now) {
    return TimeStampText(now) + "[接收过快!][已丢弃" + std::to_string(blocks) + "个数据块,共" +
           std::to_string(bytes) + "字节]";
}

std::string LinkLostLine(const std::string& port, const TDeviceError& reason, TDateTime now) {
    std::string line = TimeStampText(now) + "[串口已断开!][" + port + "]";
    if (reason)
        line += " " + reason.Text + " (" + std::to_string(reason.Code) + ")";
    return line;
}

std::string LinkBackLine(const std::string& port, TDateTime now) {
    return TimeStampText(now) + "[串口已恢复!][" + port + "]";
}

TLinkKeeper::TLinkKeeper(TComm& comm, TNoticeQueue& queue, TLineSink onLine)
    : Comm(comm), Queue(queue), OnLine(std::move(onLine)), Clock(&SystemClock()) {
    Comm.OnRequestHangup = [this](TComm&) { Hangup(); };
    Comm.OnDataDropped = [this](TComm&, std::uint64_t blocks, std::uint64_t bytes) {
        const TDateTime now = Clock->Now();
        Emit(TInfoKind::Overflow, DataDroppedLine(blocks, bytes, now), now);
    };
}

TLinkKeeper::~TLinkKeeper() {
    StopRetries();
    Alive.reset();
    Comm.OnRequestHangup = nullptr;
    Comm.OnDataDropped = nullptr;
}

bool TLinkKeeper::OpenPort() {
    try {
        Comm.OpenPort();
    } catch (const ECommsError&) {
        // Reported below like every other failure; the caller sees a closed port.
    }
    if (!Comm.PortOpen()) {
        const TDateTime now = Clock->Now();
        Emit(TInfoKind::PortOpen, OpenFailureLine(Comm.CommName(), Comm.OpenFailure(), now), now);
        return false;
    }
    ReportRate();
    return true;
}

void TLinkKeeper::RunStarted() {
    RunOn = true;
}

void TLinkKeeper::RunStopped() {
    RunOn = false;
    StopRetries();
}

void TLinkKeeper::Hangup() {
    // A notice of a link already let go of (the writer's after the reader's).
    if (!Comm.PortOpen())
        return;
    // A device that is still held keeps its name busy: a USB adapter plugged
    // in again would come back under another one.
    Comm.ClosePort();
    const TDateTime now = Clock->Now();
    Emit(TInfoKind::PortLost, LinkLostLine(Comm.CommName(), Comm.LinkFailure(), now), now);
    if (RunOn)
        StartRetries();
}

void TLinkKeeper::StartRetries() {
    StopRetries();
    const std::uint32_t generation = ++Generation;
    const std::weak_ptr<int> alive = Alive;
    Ticker = std::jthread(
        [this, alive, generation, period = RetryPeriod, &queue = Queue](std::stop_token stop) {
            std::mutex mutex;
            std::condition_variable_any never;
            std::unique_lock lock(mutex);
            while (!stop.stop_requested()) {
                (void)never.wait_for(lock, stop, period, [] { return false; });
                if (stop.stop_requested())
                    break;
                try {
                    queue.Post([this, alive, generation] {
                        if (alive.lock())
                            Retry(generation);
                    });
                } catch (...) {
                    // Nothing to do: the next period tries again.
                }
            }
        });
}

void TLinkKeeper::StopRetries() {
    if (Ticker.joinable()) {
        Ticker.request_stop();
        Ticker.join();
    }
    ++Generation;
}

void TLinkKeeper::Retry(std::uint32_t generation) {
    if (generation != Generation || !RunOn || Comm.PortOpen())
        return;
    try {
        Comm.OpenPort();
    } catch (const ECommsError&) {
        // Tried again next time.
    }
    if (!Comm.PortOpen())
        return; // still gone: quietly, the next attempt follows
    StopRetries();
    const TDateTime now = Clock->Now();
    Emit(TInfoKind::PortRestored, LinkBackLine(Comm.CommName(), now), now);
    ReportRate();
}

void TLinkKeeper::ReportRate() {
    const TDateTime now = Clock->Now();
    const TStateResult& applied = Comm.AppliedState();
    std::string line = RateRefusedLine(Comm.BaudRate(), applied, now);
    if (!line.empty())
        Emit(TInfoKind::Rate, std::move(line), now);
    for (std::string framing :
         {ParityRefusedLine(static_cast<std::uint8_t>(Comm.Parity()), applied, now),
          StopBitsRefusedLine(static_cast<std::uint8_t>(Comm.StopBits()), applied, now)})
        if (!framing.empty())
            Emit(TInfoKind::LineSetting, std::move(framing), now);
}

void TLinkKeeper::Emit(TInfoKind kind, std::string text, TDateTime at) {
    if (OnLine)
        OnLine(TInfoLine{kind, std::nullopt, at, std::move(text)});
}
