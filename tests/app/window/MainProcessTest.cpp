// The real program as a child process, asked to end by a signal.
#include "DefaultConfig.h"
#include "TChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

TEST(MainProcess, TerminationSignalsCloseTheWindowAndKeepTheSettings) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        char templ[] = "/tmp/quellmark-main-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        const fs::path dir = templ;
        // The program reads the Config.ini beside itself, so it runs from a copy.
        fs::copy_file(QUELLMARK_PATH, dir / "Quellmark");
        // One key missing: the program writes it while it starts, which tells
        // the test that it has taken over the signals.
        const std::string missing = "Stop Bits=1\n";
        std::string text = DefaultConfigText;
        text.erase(text.find(missing), missing.size());
        std::ofstream(dir / "Config.ini", std::ios::binary) << text;

        TChildProcess program((dir / "Quellmark").string(), {});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (ReadFile(dir / "Config.ini") != DefaultConfigText &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_EQ(ReadFile(dir / "Config.ini"), DefaultConfigText) << program.Stderr();
        // Let the window come up, so the request meets the running loop.
        std::this_thread::sleep_for(300ms);

        program.Signal(signal);
        const std::optional<int> status = program.WaitExit(20s);
        ASSERT_TRUE(status.has_value()) << "signal " << signal << ": " << program.Stderr();
        EXPECT_EQ(*status, 0);
        EXPECT_EQ(ReadFile(dir / "Config.ini"), DefaultConfigText);
        fs::remove_all(dir);
    }
}

namespace {

/// Whether the process has its own handler for `signal` (Linux: SigCgt in /proc).
bool Catches(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0)
            return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1U) != 0;
    return false;
}

} // namespace

TEST(MainProcess, ATerminationSignalEndsTheProgramWhileAStartUpBoxIsShown) {
    char templ[] = "/tmp/quellmark-main-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const fs::path dir = templ;
    fs::copy_file(QUELLMARK_PATH, dir / "Quellmark");
    // A Config.ini that cannot be read: the program says so in a box while it starts.
    fs::create_directory(dir / "Config.ini");

    TChildProcess program((dir / "Quellmark").string(), {});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!Catches(program.Pid(), SIGTERM) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Catches(program.Pid(), SIGTERM)) << program.Stderr();
    std::this_thread::sleep_for(500ms); // the box comes up
    ASSERT_FALSE(program.WaitExit(0ms).has_value()) << "the box should hold the program";

    program.Signal(SIGTERM);
    const std::optional<int> status = program.WaitExit(10s);
    ASSERT_TRUE(status.has_value()) << "still running with its start-up box";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(fs::is_directory(dir / "Config.ini"));
    fs::remove_all(dir);
}
