#include "TSimulatorChild.h"

using namespace std::chrono_literals;

const std::string& SimulatorProgram() {
    static const std::string path = QUELLMARK_SIM_PATH;
    return path;
}

TSimulatorChild::TSimulatorChild(const std::vector<std::string>& args)
    : Process(SimulatorProgram(), args), Path(Process.ReadLine(10s).value_or("")) {}

std::optional<TSimSummary> TSimulatorChild::Stop(int signal) {
    Process.Signal(signal);
    if (Process.WaitExit(10s) != std::optional<int>{0})
        return std::nullopt;
    return TSimSummary::Parse(Process.Stdout());
}
