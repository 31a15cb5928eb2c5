#include "TSysfsPortSource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

/// A fake tty class directory in a temporary folder, removed afterwards.
class TFakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ttyclassXXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Root = pattern;
        fs::create_directories(Root / "class");
        fs::create_directories(Root / "devices" / "hw");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
    /// A tty with hardware behind it: its `device` link points at a device.
    void AddHardwareTty(const std::string& name) {
        fs::create_directories(Root / "class" / name);
        fs::create_directory_symlink(Root / "devices" / "hw", Root / "class" / name / "device");
    }
    /// A virtual terminal or console: no `device` link.
    void AddVirtualTty(const std::string& name) { fs::create_directories(Root / "class" / name); }

    std::vector<std::string> List(TUartProbe probe) {
        TSysfsPortSource source((Root / "class").string(), std::move(probe));
        std::vector<std::string> target{"old"};
        ListSerialPorts(target, source);
        return target;
    }

    fs::path Root;
};

} // namespace

TEST_F(TFakeSysfs, ListsHardwareTtysSortedAndDrops8250PortsWithoutAUart) {
    AddVirtualTty("tty0");
    AddVirtualTty("console");
    AddVirtualTty("ptmx");
    AddHardwareTty("ttyUSB0");
    AddHardwareTty("ttyACM0");
    AddHardwareTty("ttyS10");
    AddHardwareTty("ttyS2");
    AddHardwareTty("ttyS1");
    AddHardwareTty("ttyS3");

    std::set<std::string> probed;
    const std::set<std::string> withUart{"ttyS1", "ttyS10", "ttyS2"};
    const auto names = List([&](const std::string& name) {
        probed.insert(name);
        return withUart.count(name) == 1;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS1", "ttyS10", "ttyS2", "ttyUSB0"}));
    // Only the 8250-style names are probed, each once.
    EXPECT_EQ(probed, (std::set<std::string>{"ttyS1", "ttyS10", "ttyS2", "ttyS3"}));
}

TEST_F(TFakeSysfs, EnumerationOrderIsStableAcrossReads) {
    for (const char* name : {"ttyUSB3", "ttyUSB1", "ttyAMA0", "ttyUSB2"})
        AddHardwareTty(name);
    const auto order = [&] {
        TSysfsPortSource source((Root / "class").string(), [](const std::string&) { return true; });
        std::vector<std::string> names;
        while (auto name = source.Next())
            names.push_back(*name);
        return names;
    };
    const auto first = order();
    EXPECT_EQ(first.size(), 4u);
    EXPECT_EQ(order(), first);
}

TEST_F(TFakeSysfs, AMissingRootOrNoHardwareGivesAnEmptyList) {
    AddVirtualTty("tty1");
    EXPECT_TRUE(List([](const std::string&) { return true; }).empty());
    fs::remove_all(Root / "class");
    EXPECT_TRUE(List([](const std::string&) { return true; }).empty());
}

TEST(ProbeUartPresent, ADeviceThatCannotBeAskedForAnotherReasonCountsAsPresent) {
    // No such device and no sysfs attribute: only an I/O error would mean "empty".
    EXPECT_TRUE(ProbeUartPresent("ttyS_no_such_port_here"));
}
