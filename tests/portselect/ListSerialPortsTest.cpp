#include "ListSerialPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

/// Yields fixed names, then fails: what a source does when reading breaks.
class TListSource : public TSerialPortSource {
public:
    explicit TListSource(std::vector<std::string> names, std::size_t failAt = SIZE_MAX)
        : FNames(std::move(names)), FFailAt(failAt) {}
    std::optional<std::string> Next() override {
        ++Calls;
        if (FIndex >= FNames.size() || FIndex == FFailAt) {
            FIndex = SIZE_MAX - 1; // stays failed
            return std::nullopt;
        }
        return FNames[FIndex++];
    }
    int Calls = 0;

private:
    std::vector<std::string> FNames;
    std::size_t FFailAt;
    std::size_t FIndex = 0;
};

bool IsSortedByComparison(const std::vector<std::string>& names) {
    return std::is_sorted(names.begin(), names.end(),
                          [](const auto& a, const auto& b) { return ComparePortNames(a, b) < 0; });
}

} // namespace

TEST(ListSerialPorts, NamesCompareAsTextWithoutCase) {
    std::vector<std::string> target;
    TListSource source({"COM2", "COM10", "COM1"});
    ListSerialPorts(target, source);
    EXPECT_EQ(target, (std::vector<std::string>{"COM1", "COM10", "COM2"}));

    EXPECT_EQ(ComparePortNames("com1", "COM1"), 0);
    EXPECT_LT(ComparePortNames("com1", "COM2"), 0);
    EXPECT_GT(ComparePortNames("ttyUSB0", "TTYacm0"), 0);
    EXPECT_LT(ComparePortNames("", "COM1"), 0);
}

TEST(ListSerialPorts, KeepsDuplicatesAndEmptyEntriesAndReplacesTheTarget) {
    std::vector<std::string> target{"stale", "entries"};
    TListSource source({"ttyUSB1", "", "ttyS0", "ttyUSB1", "ttyACM0", "TTYs0"});
    ListSerialPorts(target, source);
    ASSERT_EQ(target.size(), 6u);
    EXPECT_EQ(target.front(), "");
    EXPECT_EQ(std::count(target.begin(), target.end(), "ttyUSB1"), 2);
    EXPECT_EQ(std::count(target.begin(), target.end(), "stale"), 0);
    EXPECT_TRUE(IsSortedByComparison(target));
    // The two spellings of ttyS0 compare equal and sit side by side.
    const auto s0 = std::find(target.begin(), target.end(), "ttyS0");
    const auto upper = std::find(target.begin(), target.end(), "TTYs0");
    EXPECT_EQ(std::abs(static_cast<int>(s0 - upper)), 1);
}

TEST(ListSerialPorts, AFailureEndsTheListAndAnEmptySourceEmptiesTheTarget) {
    std::vector<std::string> target;
    TListSource failing({"COM3", "COM1", "COM2"}, 2);
    ListSerialPorts(target, failing);
    EXPECT_EQ(target, (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(failing.Calls, 3); // asked once more, never after the failure

    target = {"COM9"};
    TListSource empty({});
    ListSerialPorts(target, empty);
    EXPECT_TRUE(target.empty());
}

TEST(ListSerialPorts, SortsUnderAUtf8CollationToo) {
    const std::string saved = std::setlocale(LC_COLLATE, nullptr);
    if (std::setlocale(LC_COLLATE, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no C.UTF-8 locale here";
    std::vector<std::string> names{"COM2", "com10", "COM1", "", "COM1"};
    SortPortNames(names);
    std::setlocale(LC_COLLATE, saved.c_str());
    EXPECT_EQ(names, (std::vector<std::string>{"", "COM1", "COM1", "com10", "COM2"}));
}
