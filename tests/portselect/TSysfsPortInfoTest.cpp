#include "TSysfsPortInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

/// A fake /sys and /dev in a temporary folder: a USB adapter on the
/// usb-serial driver (ttyUSB0), a CDC-ACM device (ttyACM0), a built-in UART
/// (ttyS0, and ttyS1 as newer kernels place it) and the by-id and by-path
/// links udev makes.
class TFakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "portinfoXXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Root = pattern;
        Sys = Root / "sys";
        Dev = Root / "dev";
        fs::create_directories(Sys / "class" / "tty");
        fs::create_directories(Dev / "serial" / "by-id");
        fs::create_directories(Dev / "serial" / "by-path");

        const fs::path usb = Sys / "devices" / "pci0000:00" / "usb1" / "1-2";
        Write(usb / "idVendor", "0403\n");
        Write(usb / "idProduct", "6001\n");
        Write(usb / "manufacturer", "FTDI\n");
        Write(usb / "product", "FT232R USB UART\n");
        Write(usb / "serial", "A50285BI\n");
        AddTty("ttyUSB0", usb / "1-2:1.0" / "ttyUSB0", "ftdi_sio");

        const fs::path acm = Sys / "devices" / "pci0000:00" / "usb1" / "1-3";
        Write(acm / "idVendor", "2e8a\n");
        Write(acm / "idProduct", "000a\n");
        AddTty("ttyACM0", acm / "1-3:1.0", "cdc_acm");

        AddTty("ttyS0", Sys / "devices" / "platform" / "serial8250", "serial8250");

        // Since Linux 6.5: the port device and its controller on the serial core's
        // own bus, below the UART's device.
        const fs::path uart = Sys / "devices" / "pnp0" / "00:01";
        const fs::path port = uart / "00:01:0" / "00:01:0.0";
        AddTty("ttyS1", port, "port");
        fs::create_directories(Sys / "bus" / "serial-base");
        fs::create_directories(Sys / "bus" / "drivers" / "serial");
        fs::create_symlink(Sys / "bus" / "serial-base", port / "subsystem");
        fs::create_symlink(Sys / "bus" / "serial-base", uart / "00:01:0" / "subsystem");
        fs::create_symlink(Sys / "bus" / "drivers" / "serial", uart / "driver");

        fs::create_symlink("../../ttyUSB0", Dev / "serial" / "by-id" /
                                                "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        fs::create_symlink("../../ttyUSB0",
                           Dev / "serial" / "by-path" / "pci-0000:00:14.0-usb-0:2:1.0-port0");
        fs::create_symlink("../../ttyACM0", Dev / "serial" / "by-id" / "usb-Board_E66-if00");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    /// The class entry with its device link, the device's driver link and the /dev node.
    void AddTty(const std::string& name, const fs::path& device, const std::string& driver) {
        fs::create_directories(device);
        const fs::path driverDir = Sys / "bus" / "drivers" / driver;
        fs::create_directories(driverDir);
        fs::create_symlink(driverDir, device / "driver");
        fs::create_directories(Sys / "class" / "tty" / name);
        fs::create_directory_symlink(device, Sys / "class" / "tty" / name / "device");
        Write(Dev / name, "");
    }
    TPortInfo Describe(const std::string& name) {
        return DescribeSysfsPort(name, (Sys / "class" / "tty").string(), Dev.string());
    }

    fs::path Root, Sys, Dev;
};

} // namespace

TEST_F(TFakeSystem, DescribesEachKindOfPortOnOneLine) {
    const std::string byId =
        (Dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string();
    const TPortInfo usb = Describe("ttyUSB0");
    EXPECT_EQ(usb.Driver, "ftdi_sio");
    EXPECT_EQ(usb.SerialNumber, "A50285BI");
    EXPECT_EQ(usb.ById, byId);
    EXPECT_EQ(PortDescriptionLine(usb), "ttyUSB0  USB 0403:6001 FTDI FT232R USB UART  serial "
                                        "A50285BI  driver ftdi_sio  " +
                                            byId);

    EXPECT_EQ(PortDescriptionLine(Describe("ttyACM0")),
              "ttyACM0  USB 2e8a:000a  driver cdc_acm  " +
                  (Dev / "serial" / "by-id" / "usb-Board_E66-if00").string());
    EXPECT_EQ(PortDescriptionLine(Describe("ttyS0")), "ttyS0  driver serial8250");
    EXPECT_EQ(PortDescriptionLine(Describe("ttyS1")), "ttyS1  driver serial");
    // A name the system does not know keeps only its name.
    EXPECT_EQ(PortDescriptionLine(Describe("ttyUSB9")), "ttyUSB9");
    EXPECT_TRUE(PortDetails(Describe("ttyUSB9")).empty());
}

TEST_F(TFakeSystem, StableNamesAndDevicePathsLeadToThePortName) {
    const std::string dev = Dev.string();
    EXPECT_EQ(
        SysfsPortNameOfPath(
            (Dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string(),
            dev),
        "ttyUSB0");
    EXPECT_EQ(
        SysfsPortNameOfPath(
            (Dev / "serial" / "by-path" / "pci-0000:00:14.0-usb-0:2:1.0-port0").string(), dev),
        "ttyUSB0");
    EXPECT_EQ(SysfsPortNameOfPath((Dev / "ttyACM0").string(), dev), "ttyACM0");
    // A link to nothing, a relative name and a file outside the device folder name no port.
    EXPECT_EQ(SysfsPortNameOfPath((Dev / "serial" / "by-id" / "gone").string(), dev), "");
    EXPECT_EQ(SysfsPortNameOfPath("ttyUSB0", dev), "");
    EXPECT_EQ(SysfsPortNameOfPath((Sys / "class").string(), dev), "");
    EXPECT_EQ(SysfsPortNameOfPath(Dev.string(), dev), "");
}
