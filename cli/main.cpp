#include "ListSerialPorts.h"
#include "TCliOptions.h"
#include "TCliRun.h"
#include "TConsole.h"
#include "TPortInfo.h"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    PrepareConsoleOutput();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const TCliParseResult parsed = ParseCliOptions(args);
    if (!parsed.Options) {
        std::cerr << "quellmark-cli: " << parsed.Error << "\nTry 'quellmark-cli --help'.\n";
        return ExitUsage;
    }
    const TCliOptions& options = *parsed.Options;
    if (options.Help) {
        std::cout << CliHelpText();
        return ExitAllGood;
    }
    if (options.Version) {
        std::cout << "quellmark-cli " << QUELLMARK_VERSION << '\n';
        return ExitAllGood;
    }
    if (options.ListPorts) {
        std::vector<std::string> names;
        ListSerialPorts(names);
        for (const std::string& name : names)
            std::cout << PortDescriptionLine(name) << '\n';
        return ExitAllGood;
    }
    try {
        const std::atomic<bool>& interrupted = InstallInterruptFlag();
        return RunCliJob(options, std::cout, std::cerr, interrupted, StderrIsTerminal());
    } catch (const std::exception& error) {
        std::cerr << "quellmark-cli: " << error.what() << '\n';
        return ExitPort;
    }
}
