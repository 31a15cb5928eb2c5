// The settings file on POSIX systems: permissions, owners, links, special
// files, a full disk and what killed writers leave behind.
#include "DefaultConfig.h"
#include "SettingsFileTest.h"
#include "TIniFile.h"
#include "TSysParam.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <grp.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

fs::path RunningExecutable() {
    return fs::read_symlink("/proc/self/exe");
}

namespace {

struct stat StatOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

constexpr uid_t Nobody = 65534;

// Runs `body` in a child process as the unprivileged user `id` (with the group
// of the same number; the tests run as root, who may read and write anything);
// `body` returns what went wrong, or nothing.
::testing::AssertionResult AsUser(uid_t id, const std::function<std::string()>& body) {
    const pid_t child = ::fork();
    if (child < 0)
        return ::testing::AssertionFailure() << "fork failed";
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0)
            ::_exit(2);
        const std::string failure = body();
        std::cerr << failure << std::flush;
        ::_exit(failure.empty() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return ::testing::AssertionFailure() << "the child did not end normally";
    if (WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << "the child failed (" << WEXITSTATUS(status) << ")";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult AsNobody(const std::function<std::string()>& body) {
    return AsUser(Nobody, body);
}

// The exit status of a child that runs `body`, or -1.
int InChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A child process that runs until the object goes.
class TRunningChild {
public:
    TRunningChild() : Pid(::fork()) {
        if (Pid == 0)
            for (;;)
                ::pause();
    }
    ~TRunningChild() {
        ::kill(Pid, SIGKILL);
        ::waitpid(Pid, nullptr, 0);
    }
    TRunningChild(const TRunningChild&) = delete;
    TRunningChild& operator=(const TRunningChild&) = delete;
    pid_t Get() const { return Pid; }

private:
    pid_t Pid;
};

// What must hold for a Config.ini that is there but cannot be read: one read
// error, the defaults in memory, every write refused with the value kept.
std::string LoadsDefaultsAndRefusesWrites(const std::string& path) {
    try {
        LoadParams(path);
        return "no read error";
    } catch (const EIniReadError& e) {
        if (e.what() != "Unable to read " + path || !e.Reason())
            return std::string("wrong error: ") + e.what();
    }
    std::string values;
    for (TSysParam* p : {ParamCommPort, ParamBaudRate, ParamPollInterval, ParamPollTimeout,
                         ParamPollFrom, ParamPollTo, ParamFrameBreakMode, ParamReadInterval,
                         ParamRegisterBegin, ParamRegisterCount})
        values += p->AsString() + " ";
    if (values != "COM1 9600 10 500 1 10 1 20 0 2 ")
        return "not the defaults: " + values;
    try {
        ParamPollTo->SetValue(5);
        return "a write went through";
    } catch (const EIniWriteError& e) {
        if (e.what() != "Unable to write to " + path)
            return std::string("wrong error: ") + e.what();
    }
    return ParamPollTo->AsInteger() == 5 ? "" : "the refused value was not kept";
}

} // namespace

TEST_F(SettingsFile, ReadOnlyDirectory) {
    // Without a file nothing can be written.
    fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(LoadParams(Path.string()), EIniWriteError);
    EXPECT_FALSE(fs::exists(Path));

    // With a writable file the value is rewritten in place.
    fs::permissions(Dir, fs::perms::owner_all);
    WriteFile(Path, DefaultConfigText);
    fs::permissions(Dir, fs::perms::owner_read | fs::perms::owner_exec);
    LoadParams(Path.string());
    ParamBaudRate->SetValue(115200);
    EXPECT_NE(ReadFile(Path).find("Baud Rate=115200\n"), std::string::npos);
}

TEST_F(SettingsFile, AFailedWriteLeavesTheOldFileWhole) {
    LoadParams(Path.string());
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

TEST_F(SettingsFile, UnreadablePathsGiveDefaultsAndAreNeverWritten) {
    // A directory and a FIFO (opening one for reading must not wait for a writer).
    fs::create_directory(Path);
    EXPECT_EQ(LoadsDefaultsAndRefusesWrites(Path.string()), "");
    EXPECT_TRUE(fs::is_directory(Path));
    fs::remove(Path);

    ASSERT_EQ(::mkfifo(Path.c_str(), 0644), 0);
    EXPECT_EQ(LoadsDefaultsAndRefusesWrites(Path.string()), "");
    EXPECT_TRUE(fs::is_fifo(Path));
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
    fs::remove(Path);

    // A file this user may not read: its settings must survive.
    const std::string text = "[Communication]\nPoll To=7\n";
    WriteFile(Path, text);
    ::chmod(Path.c_str(), 0600);
    if (::geteuid() == 0) {
        ::chmod(Dir.c_str(), 0755);
        EXPECT_TRUE(AsNobody([&] { return LoadsDefaultsAndRefusesWrites(Path.string()); }));
    } else {
        ::chmod(Path.c_str(), 0);
        EXPECT_EQ(LoadsDefaultsAndRefusesWrites(Path.string()), "");
        ::chmod(Path.c_str(), 0600);
    }
    EXPECT_EQ(ReadFile(Path), text);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
}

TEST_F(SettingsFile, AnotherUsersFileIsNotReplacedInAWritableFolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs a second user: run as root";
    // Readable by all, writable by its owner only; the folder lets anyone
    // rename over it, which must not happen.
    const std::string text = "[Communication]\nPoll To=7\n";
    WriteFile(Path, text);
    ::chmod(Path.c_str(), 0644);
    ::chmod(Dir.c_str(), 0777);
    EXPECT_TRUE(AsNobody([&]() -> std::string {
        try {
            LoadParams(Path.string());
            return "missing keys were written";
        } catch (const EIniWriteError&) {
        }
        if (ParamPollTo->AsInteger() != 7)
            return "not read";
        try {
            ParamPollTo->SetValue(8);
            return "replaced";
        } catch (const EIniWriteError&) {
        }
        return ParamPollTo->AsInteger() == 8 ? "" : "value not kept";
    }));
    EXPECT_EQ(ReadFile(Path), text);
    EXPECT_EQ(StatOf(Path).st_uid, 0U);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
}

TEST_F(SettingsFile, ReplacementKeepsModeOwnerLinksAndHonoursTheUmask) {
    const std::string edited = Replaced(DefaultConfigText, "Poll To=10", "Poll To=9");

    // Mode and owner survive the replacement through a temporary file.
    WriteFile(Path, DefaultConfigText);
    ::chmod(Path.c_str(), 0640);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(Path.c_str(), 4321, 4321), 0);
    }
    const ino_t before = StatOf(Path).st_ino;
    LoadParams(Path.string());
    ParamPollTo->SetValue(9);
    EXPECT_EQ(ReadFile(Path), edited);
    EXPECT_NE(StatOf(Path).st_ino, before) << "replaced, not rewritten";
    EXPECT_EQ(StatOf(Path).st_mode & 07777, 0640U);
    if (root) {
        EXPECT_EQ(StatOf(Path).st_uid, 4321U);
    }
    fs::remove(Path);

    // A symbolic link stays a link; the file it names changes, also when
    // that file does not exist yet.
    fs::create_directory(Dir / "real");
    fs::create_symlink("real/Config.ini", Path);
    LoadParams(Path.string());
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(ReadFile(Dir / "real" / "Config.ini"), DefaultConfigText);
    ParamPollTo->SetValue(9);
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(ReadFile(Dir / "real" / "Config.ini"), edited);
    fs::remove(Path);
    fs::remove_all(Dir / "real");

    // Every name of a hard-linked file sees the change.
    WriteFile(Path, DefaultConfigText);
    fs::create_hard_link(Path, Dir / "other.ini");
    LoadParams(Path.string());
    ParamPollTo->SetValue(9);
    EXPECT_EQ(fs::hard_link_count(Path), 2U);
    EXPECT_EQ(ReadFile(Dir / "other.ini"), edited);
    fs::remove(Dir / "other.ini");
    fs::remove(Path);

    // A new file gets what the umask leaves of read-write for all.
    const mode_t old = ::umask(027);
    LoadParams(Path.string());
    ::umask(old);
    EXPECT_EQ(StatOf(Path).st_mode & 07777, 0640U);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
}

TEST_F(SettingsFile, AWriteThatChangesNothingTouchesNothing) {
    LoadParams(Path.string());
    const ino_t before = StatOf(Path).st_ino;
    ParamPollTo->SetValue(10);
    EXPECT_EQ(StatOf(Path).st_ino, before) << "no rename";
    // So a read-only file refuses only what would change it.
    ::chmod(Path.c_str(), 0444);
    EXPECT_NO_THROW(ParamPollTo->SetValue(10));
    EXPECT_FALSE(ConfigFile->WriteRefused());
    EXPECT_THROW(ParamPollTo->SetValue(11), EIniWriteError);
    EXPECT_TRUE(ConfigFile->WriteRefused());
    EXPECT_EQ(ParamPollTo->AsInteger(), 11);
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
}

TEST_F(SettingsFile, AnInPlaceRewriteOnAFullDiskLeavesTheFileAsItWas) {
    // A longer value: the file must grow, and the disk has no room for it.
    const std::string longer = Replaced(DefaultConfigText, "Register Count=2", "Register Count=12");
    struct TCase {
        const char* Why;
        std::function<void()> Prepare;
    };
    const TCase cases[] = {
        {"a hard link", [&] { fs::create_hard_link(Path, Dir / "other.ini"); }},
        {"a folder that takes no new file", [&] { ::chmod(Dir.c_str(), 0555); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Why);
        WriteFile(Path, DefaultConfigText);
        c.Prepare();
        LoadParams(Path.string());
        const ino_t inode = StatOf(Path).st_ino;
        // The file-size limit of a child refuses every byte past the old end
        // (EFBIG), as a full disk would.
        const int reason = InChild([] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{DefaultConfigText.size(), DefaultConfigText.size()};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            try {
                ParamRegisterCount->SetValue(12);
            } catch (const EIniWriteError& e) {
                return e.Reason().value();
            }
            return 0;
        });
        EXPECT_EQ(reason, EFBIG) << "the system's reason reaches the caller";
        EXPECT_EQ(ReadFile(Path), DefaultConfigText);
        // With room, the same write goes through in place.
        ParamRegisterCount->SetValue(12);
        EXPECT_EQ(ReadFile(Path), longer);
        EXPECT_EQ(StatOf(Path).st_ino, inode);
        ::chmod(Dir.c_str(), 0700);
        fs::remove(Dir / "other.ini");
        fs::remove(Path);
    }
}

TEST_F(SettingsFile, AReplacementThatCannotKeepTheOwnerIsNotMade) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs other users: run as root";
    // The writer is user 23456 in a folder open to all; the file is
    // read-write for all, so only its owner stands in the way.
    constexpr uid_t Writer = 23456;
    constexpr uid_t Other = 12345;
    struct TCase {
        const char* Why;
        uid_t Owner;
        gid_t Group;
    };
    for (const TCase& c : {TCase{"another user's file", Other, Other},
                           TCase{"the writer's file in a group not the writer's", Writer, Other}}) {
        SCOPED_TRACE(c.Why);
        WriteFile(Path, DefaultConfigText);
        ASSERT_EQ(::chown(Path.c_str(), c.Owner, c.Group), 0);
        ::chmod(Path.c_str(), 0666);
        ::chmod(Dir.c_str(), 0777);
        EXPECT_TRUE(AsUser(Writer, [&]() -> std::string {
            LoadParams(Path.string());
            try {
                ParamPollTo->SetValue(9);
                return "replaced";
            } catch (const EIniWriteError& e) {
                if (e.Reason() != std::errc::operation_not_permitted)
                    return "wrong reason: " + e.Reason().message();
            }
            return "";
        }));
        EXPECT_EQ(ReadFile(Path), DefaultConfigText);
        EXPECT_EQ(StatOf(Path).st_uid, c.Owner);
        EXPECT_EQ(StatOf(Path).st_gid, c.Group);
        EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"});
    }
}

TEST_F(SettingsFile, LeftoverTemporariesOfEndedWritersAreRemovedAtStartUp) {
    // The pid of a child that has ended and been reaped.
    pid_t gone = 0;
    if (const pid_t child = ::fork(); child == 0) {
        ::_exit(0);
    } else {
        ASSERT_GT(child, 0);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        gone = child;
    }
    const TRunningChild running;
    const std::string dead = std::to_string(gone);
    const std::string live = std::to_string(running.Get());
    const std::string self = std::to_string(::getpid());

    // Config.ini is a link into "real", where a writer makes its temporaries.
    const fs::path real = Dir / "real";
    fs::create_directory(real);
    WriteFile(real / "Config.ini", DefaultConfigText);
    fs::create_symlink("real/Config.ini", Path);
    enum TKind { File, Folder, Link };
    struct TEntry {
        std::string Name;
        TKind Kind;
        bool Stale;
    };
    const std::vector<TEntry> entries = {
        {".Config.ini." + dead + ".0", File, true},
        {".Config.ini." + dead + ".17", File, true},
        {".Config.ini." + self + ".3", File, false},
        {".Config.ini." + live + ".1", File, false},
        {".Config.ini.12x.1", File, false},
        {".Config.ini." + dead + "x.1", File, false},
        {".Config.ini.0" + dead + ".1", File, false},
        {".Config.ini." + dead + ".1.tmp", File, false},
        {".Config.ini." + dead, File, false},
        {"Config.ini." + dead + ".1", File, false},
        {".Other.ini." + dead + ".1", File, false},
        {".Config.ini." + dead + ".2", Folder, false},
        {".Config.ini." + dead + ".4", Link, false},
    };
    for (const TEntry& e : entries) {
        if (e.Kind == File)
            WriteFile(real / e.Name, "x");
        else if (e.Kind == Folder)
            fs::create_directory(real / e.Name);
        else
            fs::create_symlink("Config.ini", real / e.Name);
    }
    // Beside the link no writer makes a temporary.
    WriteFile(Dir / (".Config.ini." + dead + ".5"), "x");

    const auto names = [&] {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(real))
            found.push_back(e.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    };
    std::vector<std::string> all{"Config.ini"};
    std::vector<std::string> kept{"Config.ini"};
    for (const TEntry& e : entries) {
        all.push_back(e.Name);
        if (!e.Stale)
            kept.push_back(e.Name);
    }
    std::sort(all.begin(), all.end());
    std::sort(kept.begin(), kept.end());

    LoadParams(Path.string(), TIniFile::TAccess::ReadOnly);
    EXPECT_EQ(names(), all) << "a program that may not write leaves them";
    LoadParams(Path.string());
    EXPECT_EQ(names(), kept);
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    EXPECT_TRUE(fs::exists(Dir / (".Config.ini." + dead + ".5")));
}
