// The limits in Config.ini's section Limits: read as the value format writes values,
// written only as the user edited them, and checked before use.
#include "TLimits.h"
#include "SettingsFileTest.h"
#include "TIniFile.h"

namespace {

TEST(LimitsFile, AnEditedSectionReadsBackAndBadTextsAreNamed) {
    const fs::path dir = NewTemporaryFolder("quellmark-limits");
    const std::string path = Utf8(dir / "Config.ini");
    TIniFile file(path);
    TLimits limits;
    limits.Values = {{std::nullopt, 255.0}, {}, {16.0, 4096.0}};
    limits.MaxFailPercent = 2.5;
    const TValueFormat hex{TValueType::Hex16};
    WriteLimits(file, limits, hex, 4);
    // Every key of the edited columns, empty for no limit, as the value format writes it.
    EXPECT_EQ(file.ReadString(LimitsSection, "Value1 Max", "?"), "00FF");
    EXPECT_EQ(file.ReadString(LimitsSection, "Value1 Min", "?"), "");
    EXPECT_EQ(file.ReadString(LimitsSection, "Value3 Min", "?"), "0010");
    EXPECT_TRUE(file.ValueExists(LimitsSection, "Value4 Max"));
    TLimitsRead read = ReadLimits(file, hex);
    EXPECT_TRUE(read.Problems.empty());
    ASSERT_GE(read.Limits.Values.size(), 3U);
    EXPECT_EQ(read.Limits.Values[0], limits.Values[0]);
    EXPECT_EQ(read.Limits.ValueLimit(1), nullptr);
    EXPECT_EQ(read.Limits.Values[2], limits.Values[2]);
    EXPECT_EQ(read.Limits.MaxFailPercent, 2.5);
    EXPECT_FALSE(read.Limits.MaxFail.has_value());

    file.WriteString(LimitsSection, "Value2 Min", "G1");
    file.WriteString(LimitsSection, "Max Fail", "1.5");
    read = ReadLimits(file, hex);
    EXPECT_EQ(read.Problems, (std::vector<std::string>{"Value2 Min=G1", "Max Fail=1.5"}));
    EXPECT_EQ(read.Limits.ValueLimit(1), nullptr);
    fs::remove_all(dir);
}

TEST(LimitsFile, NoSectionNoLimitsAndSoundnessIsChecked) {
    const fs::path dir = NewTemporaryFolder("quellmark-limits");
    TIniFile file(Utf8(dir / "absent.ini"));
    EXPECT_FALSE(ReadLimits(file, {}).Limits.Any());
    TLimits limits;
    limits.Values = {{}, {5.0, 4.0}};
    EXPECT_EQ(LimitsProblem(limits).Kind, TLimitsProblem::TKind::MinAboveMax);
    EXPECT_EQ(LimitsProblem(limits).Column, 1U);
    limits.Values = {{4.0, 4.0}};
    limits.MaxFailPercent = 101;
    EXPECT_EQ(LimitsProblem(limits).Kind, TLimitsProblem::TKind::PercentRange);
    limits.MaxFailPercent = 100;
    EXPECT_FALSE(LimitsProblem(limits));
    fs::remove_all(dir);
}

} // namespace
