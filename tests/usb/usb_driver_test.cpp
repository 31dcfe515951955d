// The panel's libusb driver against the emulated module: a pending read ended by the abort
// of File > Exit and by unplugging, each followed by the device working on (run under the
// tsan preset too: the read thread, the caller and libusb's event thread meet in them);
// and the panel's window whose maintenance buttons get their replies over USB.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/bed_harness.h"
#include "support/emulator_harness.h"

namespace {

namespace bed = kastrel::usb_bed_test;
namespace emu = ostrel::emulator_test;

constexpr bed::Millis kDeadline{15000};

class UsbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = std::make_unique<emu::EmulatorProcess>(
        socket_, std::vector<std::string>{"--eeprom", eeprom_, "--period", "200",
                                          "--firmware-version", "2.7"});
    ASSERT_TRUE(emulator_->ready());
  }
  void TearDown() override {
    emulator_.reset();
    std::remove(eeprom_.c_str());
  }
  std::unique_ptr<bed::BedProcess> Run(const std::vector<std::string>& program) {
    return std::make_unique<bed::BedProcess>(std::vector<std::string>{"--emulator-socket", socket_},
                                             program);
  }
  std::unique_ptr<bed::BedProcess> Probe(const std::string& scenario) {
    return Run({USB_DRIVER_PROBE_PATH, scenario});
  }

  const std::string socket_ = emu::UniqueName("usb-driver");
  const std::string eeprom_ = emu::TempPath("usb-driver-eeprom");
  std::unique_ptr<emu::EmulatorProcess> emulator_;
};

// File > Exit gives the read thread 50 ms to see its read end.
TEST_F(UsbDriver, AbortEndsThePendingReadAtOnceAndTheDeviceWorksOn) {
  auto probe = Probe("cancel");
  const std::string aborted = probe->WaitForPrefix("aborted ", kDeadline);
  ASSERT_FALSE(aborted.empty()) << probe->Transcript();
  int result = -1;
  long ms = -1;
  ASSERT_EQ(std::sscanf(aborted.c_str(), "aborted %d in %ld ms", &result, &ms), 2) << aborted;
  EXPECT_EQ(result, 0);
  EXPECT_LT(ms, 50) << aborted;
  EXPECT_EQ(probe->WaitForPrefix("closed ", kDeadline), "closed shut") << probe->Transcript();
  EXPECT_EQ(probe->WaitForPrefix("streams ", kDeadline), "streams yes") << probe->Transcript();
  EXPECT_EQ(probe->WaitExit(kDeadline), 0) << probe->Transcript();
  // Opened twice, claimed twice: the first handle was given back before the second.
  EXPECT_EQ(probe->Count("claimed"), 2) << probe->Transcript();
  EXPECT_EQ(probe->Count("notice"), 0) << probe->Transcript();
}

TEST_F(UsbDriver, UnplugEndsThePendingReadAndAPlugInOpensAgain) {
  auto probe = Probe("unplug");
  ASSERT_EQ(probe->WaitForPrefix("pending", kDeadline), "pending") << probe->Transcript();
  probe->Send("unplug");
  EXPECT_EQ(probe->WaitForPrefix("ended ", kDeadline), "ended 0") << probe->Transcript();
  EXPECT_EQ(probe->WaitForPrefix("again ", kDeadline), "again 0 at once") << probe->Transcript();
  ASSERT_EQ(probe->WaitForPrefix("closed ", kDeadline), "closed absent") << probe->Transcript();
  probe->Send("plug");
  EXPECT_EQ(probe->WaitForPrefix("streams ", kDeadline), "streams yes") << probe->Transcript();
  EXPECT_EQ(probe->WaitExit(kDeadline), 0) << probe->Transcript();
}

// Version, serial write and read, erase: each reply reaches its box through USB.
TEST_F(UsbDriver, MaintenanceRepliesReachTheirBoxes) {
  auto panel = Run({USB_PANEL_PROBE_PATH, "maintenance"});
  const std::string sequence = panel->WaitForPrefix("sequence ", kDeadline);
  EXPECT_NE(sequence.find("completed! (Failed: 0)"), std::string::npos) << panel->Transcript();
  EXPECT_EQ(panel->WaitForPrefix("version ", kDeadline), "version 2.7") << panel->Transcript();
  EXPECT_EQ(panel->WaitForPrefix("serial ", kDeadline), "serial KS12345678") << panel->Transcript();
  // An erased EEPROM reads 0xFF ten times.
  EXPECT_EQ(panel->WaitForPrefix("erased ", kDeadline), "erased " + std::string(20, 'F'))
      << panel->Transcript();
  const std::string status = panel->WaitForPrefix("status ", kDeadline);
  EXPECT_NE(status.find("(Failed: 0)"), std::string::npos) << panel->Transcript();
  EXPECT_EQ(panel->WaitExit(kDeadline), 0) << panel->Transcript();
}

// Unplugged, the status says "No Device" once the 5 s of silence are over; plugged in
// again, the settings go out again without anyone doing anything.
TEST_F(UsbDriver, UnplugShowsNoDeviceAndAPlugInSetsUpAgain) {
  auto panel = Run({USB_PANEL_PROBE_PATH, "unplug"});
  ASSERT_EQ(panel->WaitForPrefix("unplug me", kDeadline), "unplug me") << panel->Transcript();
  panel->Send("unplug");
  const std::string no_device = panel->WaitForPrefix("no-device after ", kDeadline);
  long ms = 0;
  ASSERT_EQ(std::sscanf(no_device.c_str(), "no-device after %ld ms", &ms), 1)
      << panel->Transcript();
  EXPECT_GE(ms, 4900);
  EXPECT_LE(ms, 6500);
  ASSERT_EQ(panel->WaitForPrefix("plug me", kDeadline), "plug me") << panel->Transcript();
  panel->Send("plug");
  const std::string again = panel->WaitForPrefix("again ", kDeadline);
  EXPECT_NE(again.find("completed! (Failed: 0)"), std::string::npos) << panel->Transcript();
  EXPECT_EQ(panel->WaitExit(kDeadline), 0) << panel->Transcript();
}

}  // namespace
