// The settings file on Windows: wide paths, the read-only attribute, the module's path
// and what killed writers leave behind.
#include "DefaultConfig.h"
#include "SettingsFileTest.h"
#include "TIniFile.h"
#include "TSysParam.h"

#include <windows.h>

#include <algorithm>

fs::path RunningExecutable() {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return fs::path(exe);
}

namespace {

// A process of this program, started suspended so that it runs no test.
class TChildProcess {
public:
    TChildProcess() {
        std::wstring command = L"\"" + RunningExecutable().wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                         nullptr, nullptr, &startup, &Info);
    }
    ~TChildProcess() { End(); }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    DWORD Id() const { return Info.dwProcessId; }
    // Ended and no handle left open, so the system forgets it.
    void End() {
        if (Info.hProcess == nullptr)
            return;
        ::TerminateProcess(Info.hProcess, 0);
        ::WaitForSingleObject(Info.hProcess, INFINITE);
        ::CloseHandle(Info.hThread);
        ::CloseHandle(Info.hProcess);
        Info.hProcess = nullptr;
    }

private:
    PROCESS_INFORMATION Info{};
};

} // namespace

TEST_F(SettingsFile, AFolderNamedInChineseWorksLikeAnyOther) {
    const fs::path folder = Dir / fs::path(u8"串口 设置");
    ASSERT_TRUE(fs::create_directory(folder));
    const fs::path path = folder / "Config.ini";
    LoadParams(Utf8(path));
    EXPECT_EQ(ReadFile(path), DefaultConfigText);
    ParamCommPort->SetValue(std::string("COM7"));
    EXPECT_NE(ReadFile(path).find("Comm Port=COM7\n"), std::string::npos);
    LoadParams(Utf8(path));
    EXPECT_EQ(ParamCommPort->AsString(), "COM7");
    std::vector<fs::path> entries(fs::directory_iterator(folder), fs::directory_iterator{});
    EXPECT_EQ(entries, std::vector<fs::path>{path}) << "no temporary file left";

    // The read-only attribute refuses writes and leaves the file as it was.
    const std::string before = ReadFile(path);
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_THROW(ParamPollTo->SetValue(3), EIniWriteError);
    EXPECT_EQ(ReadFile(path), before);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(SettingsFile, LeftoverTemporariesOfEndedWritersAreRemovedAtStartUp) {
    TChildProcess ended;
    const std::string dead = std::to_string(ended.Id());
    ASSERT_NE(ended.Id(), 0U);
    ended.End();
    const TChildProcess running;
    ASSERT_NE(running.Id(), 0U);
    WriteFile(Path, DefaultConfigText);
    struct TEntry {
        std::string Name;
        bool Folder;
        bool Stale;
    };
    const std::vector<TEntry> entries = {
        {".Config.ini." + dead + ".0", false, true},
        {".Config.ini." + std::to_string(::GetCurrentProcessId()) + ".1", false, false},
        {".Config.ini." + std::to_string(running.Id()) + ".2", false, false},
        {".Config.ini." + dead + ".3.tmp", false, false},
        {".Config.ini." + dead + ".4", true, false},
    };
    std::vector<std::string> all{"Config.ini"};
    std::vector<std::string> kept{"Config.ini"};
    for (const TEntry& e : entries) {
        if (e.Folder)
            fs::create_directory(Dir / e.Name);
        else
            WriteFile(Dir / e.Name, "x");
        all.push_back(e.Name);
        if (!e.Stale)
            kept.push_back(e.Name);
    }
    const auto names = [&] {
        std::vector<std::string> found = Entries();
        std::sort(found.begin(), found.end());
        return found;
    };
    std::sort(all.begin(), all.end());
    std::sort(kept.begin(), kept.end());

    LoadParams(Utf8(Path), TIniFile::TAccess::ReadOnly);
    EXPECT_EQ(names(), all) << "a program that may not write leaves them";
    LoadParams(Utf8(Path));
    EXPECT_EQ(names(), kept);
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
}
