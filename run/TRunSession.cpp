#include "TRunSession.h"

#include "TNoticeQueue.h"

TRunSession::TRunSession(TNoticeQueue& queue, TRunListener& listener)
    : Comm1(queue), Run(Comm1, queue, listener),
      Link(Comm1, queue, [this](const TInfoLine& line) { Run.AddLine(line); }), Coil(Run, queue),
      Scan(queue) {
    ApplyLinkDefaults(Comm1);
    // Every block is judged on the reader's thread as it arrives: the verdict
    // never waits for the owning loop, however busy it is.
    Comm1.SetBlockSink([this](const char* buffer, std::uint16_t length) {
        Run.ReceiveData(TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length),
                        Run.RunClock().Now());
    });
}

TRunSession::~TRunSession() {
    Scan.Cancel();
    Coil.Cancel();
    Run.Stop();
    Link.RunStopped();
    // The reader calls into the run: it ends before the run does.
    Comm1.ClosePort();
}

void TRunSession::SetClock(const TRunClock& clock) {
    Run.SetClock(clock);
    Link.SetClock(clock);
    Scan.SetClock(clock);
}

bool TRunSession::StartScan(TScanPlan plan, TScanListener& listener) {
    if (Run.Running() || Scan.Busy())
        return false;
    ClosePort();
    return Scan.Start(std::move(plan), listener);
}

bool TRunSession::OpenAsSet(const TRunSettings& settings) {
    if (Comm1.PortOpen() && OpenedWith && !PortSettingsDiffer(*OpenedWith, settings)) {
        Run.UseSettings(settings);
        return true;
    }
    Comm1.ClosePort();
    OpenedWith.reset();
    ApplyCommSettings(Comm1, settings);
    Run.UseSettings(settings);
    if (!Link.OpenPort())
        return false;
    OpenedWith = settings;
    if (std::optional<TInfoLine> line = DirectionControlLine(Comm1, Run.RunClock().Now()))
        Run.AddLine(std::move(*line));
    return true;
}

void TRunSession::StartRun(const TRunSettings& settings, std::optional<std::int64_t> cycles) {
    Run.Start(settings, cycles);
    Link.RunStarted();
}

void TRunSession::StopRun() {
    Link.RunStopped();
    Run.Stop();
}

void TRunSession::ClosePort() {
    Coil.Cancel();
    Comm1.ClosePort();
    OpenedWith.reset();
}

bool TRunSession::SendCoil(TCoilAction action, std::int32_t slave, const TRunSettings& settings,
                           TCoilCommand::TDone done) {
    if (Coil.Busy())
        return false;
    // A run's port is used as the run opened it; its settings cannot change meanwhile.
    bool opened = false;
    if (!Run.Running()) {
        opened = !Comm1.PortOpen() || !OpenedWith || PortSettingsDiffer(*OpenedWith, settings);
        if (!OpenAsSet(settings))
            return false;
    }
    const TRunSettings& used = Run.Running() ? Run.Settings() : settings;
    const bool fixedLength = !used.FixedInterval();
    return Coil.Start(action, slave, fixedLength,
                      static_cast<std::uint16_t>(ExpectedReplyLength(used.RegisterCount)), opened,
                      std::move(done));
}
