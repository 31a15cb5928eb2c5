#include "TSysParam.h"
#include "DefaultConfig.h"
#include "TIniFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

struct stat StatOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

constexpr uid_t Nobody = 65534;

// Runs `body` in a child process as the unprivileged user nobody (the tests
// run as root, who may read and write anything); `body` returns what went
// wrong, or nothing.
::testing::AssertionResult AsNobody(const std::function<std::string()>& body) {
    const pid_t child = ::fork();
    if (child < 0)
        return ::testing::AssertionFailure() << "fork failed";
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)
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

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/quellmark-params-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        Dir = templ;
        Path = Dir / "Config.ini";
    }
    void TearDown() override {
        fs::permissions(Dir, fs::perms::owner_all);
        if (fs::exists(Path))
            fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write);
        fs::remove_all(Dir);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Dir))
            names.push_back(e.path().filename().string());
        return names;
    }

    fs::path Dir;
    fs::path Path;
};

} // namespace

TEST_F(SettingsFile, FirstStartWritesAllTenDefaultsInOrder) {
    LoadParams(Path.string());
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    EXPECT_EQ(ParamCommPort->AsString(), "COM1");
    EXPECT_EQ(ParamBaudRate->AsInteger(), 9600);
    EXPECT_EQ(ParamBaudRate->AsString(), "9600");
    EXPECT_EQ(ParamPollInterval->AsInteger(), 10);
    EXPECT_EQ(ParamPollTimeout->AsInteger(), 500);
    EXPECT_EQ(ParamPollFrom->AsInteger(), 1);
    EXPECT_EQ(ParamPollTo->AsInteger(), 10);
    EXPECT_EQ(ParamFrameBreakMode->AsInteger(), 1);
    EXPECT_EQ(ParamReadInterval->AsInteger(), 20);
    EXPECT_EQ(ParamRegisterBegin->AsInteger(), 0);
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 2);
    EXPECT_EQ(ConfigFile->FileName(), Path.string());
    // A second start finds everything and writes nothing.
    const auto before = fs::last_write_time(Path);
    LoadParams(Path.string());
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    EXPECT_EQ(fs::last_write_time(Path), before);
}

TEST_F(SettingsFile, MissingKeysAreAddedAndPresentOnesKeptAsWritten) {
    WriteFile(Path, "[Modbus]\nRegister Count = 6 \n");
    LoadParams(Path.string());
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 6);
    EXPECT_EQ(ParamRegisterBegin->AsInteger(), 0);
    EXPECT_EQ(ReadFile(Path), "[Modbus]\nRegister Count = 6 \nRegister Begin=0\n"
                              "[Communication]\nComm Port=COM1\nBaud Rate=9600\n"
                              "Poll Interval=10\nPoll Timeout=500\nPoll From=1\nPoll To=10\n"
                              "FrameBreakMode=1\nReadInterval=20\n");
}

TEST_F(SettingsFile, IntegerTextForms) {
    const struct {
        const char* Text;
        int Expected;
    } cases[] = {{"0x14", 20}, {"0X1A", 26}, {"abc", 10},   {"", 10},           {"-7", -7},
                 {"+7", 7},    {"0x", 10},   {"12abc", 10}, {"2147483648", 10}, {"0xFFFFFFFF", -1}};
    for (const auto& c : cases) {
        const std::string content = std::string(DefaultConfigText)
                                        .replace(DefaultConfigText.find("Poll To=10"), 10,
                                                 std::string("Poll To=") + c.Text);
        WriteFile(Path, content);
        LoadParams(Path.string());
        EXPECT_EQ(ParamPollTo->AsInteger(), c.Expected) << c.Text;
        // Invalid text is left in the file as it was.
        EXPECT_EQ(ReadFile(Path), content) << c.Text;
    }
}

TEST_F(SettingsFile, SectionsAndKeysMatchWithoutRegardToCase) {
    WriteFile(Path, "[communication]\npoll to=7\nCOMM PORT=\n");
    LoadParams(Path.string());
    EXPECT_EQ(ParamPollTo->AsInteger(), 7);
    // An empty port name exists and is not replaced by the default.
    EXPECT_EQ(ParamCommPort->AsString(), "");
    ParamPollTo->SetValue(8);
    const std::string text = ReadFile(Path);
    EXPECT_NE(text.find("poll to=8\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Poll To"), std::string::npos) << text;
}

TEST_F(SettingsFile, SetValueWritesEveryTimeInPlace) {
    LoadParams(Path.string());
    WriteFile(Path, std::string(DefaultConfigText)
                        .replace(DefaultConfigText.find("Poll From=1"), 11, "Poll From=3"));
    ParamPollFrom->SetValue(1); // same value as in memory: still written
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    ParamCommPort->SetValue(std::string("/dev/ttyUSB0"));
    EXPECT_EQ(ParamCommPort->AsString(), "/dev/ttyUSB0");
    EXPECT_NE(ReadFile(Path).find("Comm Port=/dev/ttyUSB0\n"), std::string::npos);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"}) << "no temporary file left";
}

TEST(IniFile, OtherLinesSurviveByteForByte) {
    char templ[] = "/tmp/quellmark-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const fs::path path = fs::path(templ) / "Config.ini";
    const std::string original = "; written by hand\r\n"
                                 "[Other]\r\n"
                                 "Colour = blue  \r\n"
                                 "\r\n"
                                 "[Communication]\r\n"
                                 "# a note\r\n"
                                 "Baud Rate = 9600\r\n"
                                 "Unknown=1\r\n"
                                 "\r\n"
                                 "[Tail]\n"
                                 "x=y";
    WriteFile(path, original);
    TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadString("other", "COLOUR", "?"), "blue");
    EXPECT_EQ(ini.ReadSection("Communication"), (std::vector<std::string>{"Baud Rate", "Unknown"}));

    ini.WriteString("Communication", "Baud Rate", "19200");
    ini.WriteString("Communication", "Poll To", "5");
    ini.WriteString("Tail", "z", "1");
    ini.WriteString("New", "k", "v");
    EXPECT_EQ(ReadFile(path), "; written by hand\r\n"
                              "[Other]\r\n"
                              "Colour = blue  \r\n"
                              "\r\n"
                              "[Communication]\r\n"
                              "# a note\r\n"
                              "Baud Rate = 19200\r\n"
                              "Unknown=1\r\n"
                              "Poll To=5\r\n"
                              "\r\n"
                              "[Tail]\n"
                              "x=y\r\n"
                              "z=1\r\n"
                              "[New]\r\n"
                              "k=v\r\n");
    EXPECT_EQ(ini.ReadString("Communication", "Missing", "fallback"), "fallback");
    EXPECT_FALSE(ini.ValueExists("Nowhere", "Baud Rate"));
    fs::remove_all(templ);
}

TEST_F(SettingsFile, ReadOnlyFileStartsWithAllTenAndReportsOnce) {
    WriteFile(Path, "[Communication]\nPoll To=0x14\n");
    fs::permissions(Path, fs::perms::owner_read);
    const std::string before = ReadFile(Path);
    try {
        LoadParams(Path.string());
        FAIL() << "a refused write must be reported";
    } catch (const EIniWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path.string());
    }
    for (TSysParam* p : {ParamCommPort, ParamBaudRate, ParamPollInterval, ParamPollTimeout,
                         ParamPollFrom, ParamPollTo, ParamFrameBreakMode, ParamReadInterval,
                         ParamRegisterBegin, ParamRegisterCount})
        ASSERT_NE(p, nullptr);
    EXPECT_EQ(ParamPollTo->AsInteger(), 20); // read although earlier writes failed
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 2);

    // Every later refused write reports again and keeps the value in memory.
    EXPECT_THROW(ParamPollFrom->SetValue(4), EIniWriteError);
    EXPECT_EQ(ParamPollFrom->AsInteger(), 4);
    EXPECT_THROW(ParamPollFrom->SetValue(5), EIniWriteError);
    EXPECT_EQ(ParamPollFrom->AsInteger(), 5);
    EXPECT_EQ(ReadFile(Path), before);
}

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

TEST(ConfigPath, BesideTheExecutableWhateverTheCurrentDirectory) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path cwd = fs::current_path();
    fs::current_path("/");
    const std::string path = DefaultConfigPath();
    fs::current_path(cwd);
    EXPECT_EQ(path, (exe.parent_path() / "Config.ini").string());
}

// A front end that must never change the settings file: missing keys and set
// values live in memory only, and a missing file is not created.
TEST_F(SettingsFile, ReadOnlyLoadWritesNothing) {
    WriteFile(Path, "[Modbus]\nRegister Count=6\n");
    LoadParams(Path.string(), TIniFile::TAccess::ReadOnly);
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 6);
    EXPECT_EQ(ParamPollTo->AsInteger(), 10);
    ParamPollTo->SetValue(3);
    ParamCommPort->SetValue(std::string("/dev/ttyS9"));
    EXPECT_EQ(ParamPollTo->AsInteger(), 3);
    EXPECT_EQ(ParamCommPort->AsString(), "/dev/ttyS9");
    EXPECT_EQ(ReadFile(Path), "[Modbus]\nRegister Count=6\n");

    fs::remove(Path);
    LoadParams(Path.string(), TIniFile::TAccess::ReadOnly);
    EXPECT_FALSE(fs::exists(Path));
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

TEST_F(SettingsFile, ByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string text = bom + Replaced(DefaultConfigText, "Poll To=10", "Poll To=7");
    WriteFile(Path, text);
    LoadParams(Path.string());
    EXPECT_EQ(ParamCommPort->AsString(), "COM1"); // the first section is found
    EXPECT_EQ(ParamPollTo->AsInteger(), 7);
    EXPECT_EQ(ReadFile(Path), text) << "nothing appended";
    ParamPollTo->SetValue(8);
    EXPECT_EQ(ReadFile(Path), bom + Replaced(DefaultConfigText, "Poll To=10", "Poll To=8"));
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
