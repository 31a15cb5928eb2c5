// The rules of the settings file that hold on every system; what only one
// system shows is in TSysParamTest_posix.cpp and TSysParamTest_win32.cpp.
#include "TSysParam.h"
#include "DefaultConfig.h"
#include "SettingsFileTest.h"
#include "TIniFile.h"

TEST(ConfigPath, BesideTheExecutableWhateverTheCurrentDirectory) {
    const fs::path exe = RunningExecutable();
    const fs::path cwd = fs::current_path();
    fs::current_path(fs::temp_directory_path());
    const std::string path = DefaultConfigPath();
    fs::current_path(cwd);
    EXPECT_EQ(path, Utf8(exe.parent_path() / "Config.ini"));
}

TEST_F(SettingsFile, FirstStartWritesAllTenDefaultsInOrder) {
    LoadParams(Utf8(Path));
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
    EXPECT_EQ(ConfigFile->FileName(), Utf8(Path));
    // A second start finds everything and writes nothing.
    const auto before = fs::last_write_time(Path);
    LoadParams(Utf8(Path));
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    EXPECT_EQ(fs::last_write_time(Path), before);
}

TEST_F(SettingsFile, MissingKeysAreAddedAndPresentOnesKeptAsWritten) {
    WriteFile(Path, "[Modbus]\nRegister Count = 6 \n");
    LoadParams(Utf8(Path));
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 6);
    EXPECT_EQ(ParamRegisterBegin->AsInteger(), 0);
    EXPECT_EQ(ReadFile(Path), "[Modbus]\nRegister Count = 6 \nRegister Begin=0\n"
                              "Function Code=3\nValue Format=int32:abcd\n"
                              "[Communication]\nComm Port=COM1\nBaud Rate=9600\n"
                              "Poll Interval=10\nPoll Timeout=500\nPoll From=1\nPoll To=10\n"
                              "FrameBreakMode=1\nReadInterval=20\nParity=N\nStop Bits=1\n");
}

TEST_F(SettingsFile, IntegerTextForms) {
    const struct {
        const char* Text;
        int Expected;
    } cases[] = {{"0x14", 20}, {"0X1A", 26}, {"abc", 10},   {"", 10},           {"-7", -7},
                 {"+7", 7},    {"0x", 10},   {"12abc", 10}, {"2147483648", 10}, {"0xFFFFFFFF", -1}};
    for (const auto& c : cases) {
        const std::string content =
            Replaced(DefaultConfigText, "Poll To=10", std::string("Poll To=") + c.Text);
        WriteFile(Path, content);
        LoadParams(Utf8(Path));
        EXPECT_EQ(ParamPollTo->AsInteger(), c.Expected) << c.Text;
        // Invalid text is left in the file as it was.
        EXPECT_EQ(ReadFile(Path), content) << c.Text;
    }
}

TEST_F(SettingsFile, SectionsAndKeysMatchWithoutRegardToCase) {
    WriteFile(Path, "[communication]\npoll to=7\nCOMM PORT=\n");
    LoadParams(Utf8(Path));
    EXPECT_EQ(ParamPollTo->AsInteger(), 7);
    // An empty port name exists and is not replaced by the default.
    EXPECT_EQ(ParamCommPort->AsString(), "");
    ParamPollTo->SetValue(8);
    const std::string text = ReadFile(Path);
    EXPECT_NE(text.find("poll to=8\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Poll To"), std::string::npos) << text;
}

TEST_F(SettingsFile, SetValueWritesEveryTimeInPlace) {
    LoadParams(Utf8(Path));
    WriteFile(Path, Replaced(DefaultConfigText, "Poll From=1", "Poll From=3"));
    ParamPollFrom->SetValue(1); // same value as in memory: still written
    EXPECT_EQ(ReadFile(Path), DefaultConfigText);
    ParamCommPort->SetValue(std::string("/dev/ttyUSB0"));
    EXPECT_EQ(ParamCommPort->AsString(), "/dev/ttyUSB0");
    EXPECT_NE(ReadFile(Path).find("Comm Port=/dev/ttyUSB0\n"), std::string::npos);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Config.ini"}) << "no temporary file left";
}

TEST(IniFile, OtherLinesSurviveByteForByte) {
    const fs::path dir = NewTemporaryFolder("quellmark-ini");
    const fs::path path = dir / "Config.ini";
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
    TIniFile ini(Utf8(path));
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
    fs::remove_all(dir);
}

TEST_F(SettingsFile, ReadOnlyFileStartsWithAllTenAndReportsOnce) {
    WriteFile(Path, "[Communication]\nPoll To=0x14\n");
    fs::permissions(Path, fs::perms::owner_read);
    const std::string before = ReadFile(Path);
    try {
        LoadParams(Utf8(Path));
        FAIL() << "a refused write must be reported";
    } catch (const EIniWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + Utf8(Path));
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

// A front end that must never change the settings file: missing keys and set
// values live in memory only, and a missing file is not created.
TEST_F(SettingsFile, ReadOnlyLoadWritesNothing) {
    WriteFile(Path, "[Modbus]\nRegister Count=6\n");
    LoadParams(Utf8(Path), TIniFile::TAccess::ReadOnly);
    EXPECT_EQ(ParamRegisterCount->AsInteger(), 6);
    EXPECT_EQ(ParamPollTo->AsInteger(), 10);
    ParamPollTo->SetValue(3);
    ParamCommPort->SetValue(std::string("/dev/ttyS9"));
    EXPECT_EQ(ParamPollTo->AsInteger(), 3);
    EXPECT_EQ(ParamCommPort->AsString(), "/dev/ttyS9");
    EXPECT_EQ(ReadFile(Path), "[Modbus]\nRegister Count=6\n");

    fs::remove(Path);
    LoadParams(Utf8(Path), TIniFile::TAccess::ReadOnly);
    EXPECT_FALSE(fs::exists(Path));
}

TEST_F(SettingsFile, ByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string text = bom + Replaced(DefaultConfigText, "Poll To=10", "Poll To=7");
    WriteFile(Path, text);
    LoadParams(Utf8(Path));
    EXPECT_EQ(ParamCommPort->AsString(), "COM1"); // the first section is found
    EXPECT_EQ(ParamPollTo->AsInteger(), 7);
    EXPECT_EQ(ReadFile(Path), text) << "nothing appended";
    ParamPollTo->SetValue(8);
    EXPECT_EQ(ReadFile(Path), bom + Replaced(DefaultConfigText, "Poll To=10", "Poll To=8"));
}
