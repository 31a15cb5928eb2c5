#include "TPseudoTerminal.h"
#include "TSimOptions.h"
#include "TSimRunner.h"
#include "TStopSignal.h"

#include <cmath>
#include <iostream>
#include <memory>
#include <system_error>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const TSimOptionsResult parsed = ParseSimOptions(args);
    if (!parsed.options) {
        std::cerr << "quellmark-sim: " << parsed.error << "\nTry 'quellmark-sim --help'.\n";
        return 2;
    }
    const TSimOptions& options = *parsed.options;
    if (options.help) {
        std::cout << SimHelpText("quellmark-sim");
        return 0;
    }

    try {
        TStopSignal stop;
        TPseudoTerminal terminal;
        std::unique_ptr<TSymlink> link;
        if (!options.linkPath.empty())
            link = std::make_unique<TSymlink>(terminal.SlavePath(), options.linkPath);

        // The path first and alone on its line, flushed: scripts wait for it.
        std::cout << terminal.SlavePath() << std::endl;
        std::cerr << "quellmark-sim: slaves " << options.sim.range.first << '-'
                  << options.sim.range.last << " on " << terminal.SlavePath()
                  << (options.linkPath.empty() ? "" : " (link " + options.linkPath + ")") << '\n';

        TSimulator simulator(options.sim);
        TRunSettings settings;
        settings.freeze = options.freeze;
        settings.verbose = options.verbose;
        if (options.durationSeconds > 0)
            settings.duration =
                std::chrono::milliseconds{std::llround(options.durationSeconds * 1000.0)};
        const int status =
            RunSimulator(simulator, terminal.MasterFd(), stop.Fd(), settings, std::cerr);
        std::cout << simulator.Summary() << std::flush;
        return status;
    } catch (const std::system_error& error) {
        std::cerr << "quellmark-sim: " << error.what() << '\n';
        return 1;
    }
}
