// The settings file on Windows: wide paths, the read-only attribute, the module's path.
#include "DefaultConfig.h"
#include "SettingsFileTest.h"
#include "TSysParam.h"

#include <windows.h>

fs::path RunningExecutable() {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return fs::path(exe);
}

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
