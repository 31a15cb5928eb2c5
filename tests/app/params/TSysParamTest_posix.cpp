// Settings-file rules that only POSIX can show: a folder without write
// permission, a full disk (file-size limit), the executable found through /proc.
#include "DefaultConfig.h"
#include "SettingsFileTest.h"
#include "TIniFile.h"
#include "TSysParam.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

TEST_F(SettingsFile, ReadOnlyDirectory) {
    // Without a file nothing can be written.
    fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(LoadParams(Utf8(Path)), EIniWriteError);
    EXPECT_FALSE(fs::exists(Path));

    // With a writable file the value is rewritten in place.
    fs::permissions(Dir, fs::perms::owner_all);
    WriteFile(Path, DefaultConfigText);
    fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec);
    LoadParams(Utf8(Path));
    ParamBaudRate->SetValue(115200);
    EXPECT_NE(ReadFile(Path).find("Baud Rate=115200\n"), std::string::npos);
}

TEST_F(SettingsFile, AFailedWriteLeavesTheOldFileWhole) {
    LoadParams(Utf8(Path));
    // The child hits the file-size limit mid-write, as on a full disk.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            ParamCommPort->SetValue(std::string(4096, 'x'));
        } catch (const EIniWriteError&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the refused write must be reported";
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
}

TEST(ConfigPath, BesideTheExecutableWhateverTheCurrentDirectory) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path cwd = fs::current_path();
    fs::current_path("/");
    const std::string path = DefaultConfigPath();
    fs::current_path(cwd);
    EXPECT_EQ(path, (exe.parent_path() / "Config.ini").string());
}
