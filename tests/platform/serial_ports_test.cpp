// The serial-port listing over a made-up /sys/class/tty and a real port directory.
#include "platform/serial_ports.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/port_directory.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class SerialPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-ports-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root = tmpl;
    sys = root / "class_tty";
    ports = root / "ports";
    fs::create_directories(sys);
    fs::create_directories(ports);
    fs::create_directories(root / "devices");
  }
  void TearDown() override { fs::remove_all(root); }

  static void Write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  // A tty class entry; `device` names the device directory under devices/ ("" for none).
  void Tty(const std::string& name, const std::string& device, const char* type = nullptr,
           const std::string& driver = "") {
    const fs::path dir = root / "devices" / "virtual_tty" / name;
    fs::create_directories(dir);
    if (type != nullptr) Write(dir / "type", type);
    if (!device.empty()) {
      const fs::path dev = root / "devices" / device;
      fs::create_directories(dev);
      fs::create_directory_symlink(dev, dir / "device");
      if (!driver.empty()) {
        fs::create_directories(root / "drivers" / driver);
        fs::create_directory_symlink(root / "drivers" / driver, dev / "driver");
      }
    }
    fs::create_directory_symlink(dir, sys / name);
  }

  struct Listed {
    std::vector<std::string> friendly;
    std::vector<std::string> errors;
  };
  Listed List(const std::string& sys_dir = "") {
    Listed out;
    SystemComPorts lister(
        ports.string(), [&out](const std::string& e) { out.errors.push_back(e); },
        sys_dir.empty() ? sys.string() : sys_dir);
    ComPortList list;
    const int n = lister.EnumerateComPorts(list);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, kMaxComPorts);
    for (int i = 0; i < n; ++i)
      out.friendly.push_back(list[static_cast<std::size_t>(i)].FriendlyName);
    return out;
  }

  fs::path root, sys, ports;
};

TEST_F(SerialPortsTest, RealDevicesWithUnknownUartsLeftOut) {
  Tty("ttyS0", "platform/serial8250/tty/ttyS0", "4", "serial8250");
  Tty("ttyS1", "platform/serial8250/tty/ttyS1", "0", "serial8250");  // no UART there
  Tty("ttyS10", "pnp0/00:05/tty/ttyS10", "4");
  Tty("tty1", "");  // a console
  Tty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", nullptr, "cp210x");
  Write(root / "devices/usb1/1-1/product", "CP2102 USB to UART Bridge (v2)\n");
  Tty("ttyACM0", "usb1/1-2/1-2:1.0", nullptr, "cdc_acm");
  const Listed got = List();
  EXPECT_EQ(got.friendly, (std::vector<std::string>{
                              "Serial Port (/dev/ttyACM0)",
                              "Communications Port (/dev/ttyS0)",
                              "Communications Port (/dev/ttyS10)",
                              "CP2102 USB to UART Bridge [v2] (/dev/ttyUSB0)",
                          }));
  EXPECT_TRUE(got.errors.empty());
}

TEST_F(SerialPortsTest, PortDirectoryEntriesComeFirstAndOursCarryTheMarker) {
  Tty("ttyS0", "platform/serial8250/tty/ttyS0", "4");
  fs::create_symlink("/dev/pts/99", ports / "COM3");  // ours, owner gone
  Write(ports / ".COM3.lock", "");
  fs::create_symlink("/nonexistent", ports / "COM4");  // a leftover lock makes it no port of ours
  Write(ports / ".COM4.lock", "");
  fs::create_symlink("/dev/ttyS0", ports / "COM5");   // someone's alias: real
  fs::create_symlink("/dev/pts/98", ports / "COM6");  // another program's pseudo-terminal
  Write(ports / "COM12", "");                         // anything else: real
  Write(ports / "COMx", "");                          // not a COM name
  Write(ports / "COM", "");
  const Listed got = List();
  EXPECT_EQ(got.friendly, (std::vector<std::string>{
                              "ELTIMA Virtual Serial Port (COM3)",
                              "Serial Port (COM4)",
                              "Serial Port (COM5)",
                              "Serial Port (COM6)",
                              "Serial Port (COM12)",
                              "Communications Port (/dev/ttyS0)",
                          }));
}

TEST_F(SerialPortsTest, AnotherUsersLockFileMakesNoPortOfOurs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the lock file to another user";
  fs::create_symlink("/dev/pts/99", ports / "COM3");
  Write(ports / ".COM3.lock", "");
  ASSERT_EQ(::chown((ports / ".COM3.lock").c_str(), 65534, 65534), 0);
  EXPECT_EQ(List().friendly, std::vector<std::string>{"Serial Port (COM3)"});
}

TEST_F(SerialPortsTest, NeverMoreThanTenEntries) {
  for (int i = 1; i <= 8; ++i) {
    fs::create_symlink("/dev/pts/1", ports / ("COM" + std::to_string(i)));
    Write(ports / (".COM" + std::to_string(i) + ".lock"), "");
  }
  for (int i = 0; i < 6; ++i) {
    const std::string n = "ttyS" + std::to_string(i);
    Tty(n, "pnp/" + n, "4");
  }
  const Listed got = List();
  ASSERT_EQ(got.friendly.size(), 10u);
  EXPECT_EQ(got.friendly[7], "ELTIMA Virtual Serial Port (COM8)");
  EXPECT_EQ(got.friendly[9], "Communications Port (/dev/ttyS1)");
}

TEST_F(SerialPortsTest, MissingDeviceListIsLoggedAndPortDirectoryStillListed) {
  fs::create_symlink("/dev/pts/7", ports / "COM2");
  Write(ports / ".COM2.lock", "");
  const Listed got = List((root / "no_such_dir").string());
  EXPECT_EQ(got.errors, std::vector<std::string>{"SetupDiGetClassDevs failed. (err=2)"});
  EXPECT_EQ(got.friendly, std::vector<std::string>{"ELTIMA Virtual Serial Port (COM2)"});
}

TEST_F(SerialPortsTest, UnreadableEntryEndsTheListingKeepingEarlierEntries) {
  Tty("ttyS0", "pnp/ttyS0", "4");
  Write(sys / "ttyS1", "");  // not a directory: its details cannot be read (ENOTDIR)
  Tty("ttyS2", "pnp/ttyS2", "4");
  const Listed got = List();
  EXPECT_EQ(got.errors,
            std::vector<std::string>{"SetupDiGetDeviceInterfaceDetail failed. (err=14)"});
  EXPECT_EQ(got.friendly, std::vector<std::string>{"Communications Port (/dev/ttyS0)"});
}

TEST(PortDirectory, ComNames) {
  for (const char* ok : {"COM1", "COM12", "COM9999"}) EXPECT_TRUE(IsComPortName(ok)) << ok;
  for (const char* bad : {"COM", "COM12345", "com1", "COM1a", "COM-1", "xCOM1", ".COM1.lock"})
    EXPECT_FALSE(IsComPortName(bad)) << bad;
}

}  // namespace
}  // namespace ostrel
