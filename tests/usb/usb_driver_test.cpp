// The panel's libusb driver against the emulated module: a pending read ended by the abort
// of File > Exit and by unplugging, each followed by the device working on. Run under the
// tsan preset too: the read thread, the caller and libusb's event thread meet in them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/emulator/emulator_harness.h"
#include "tests/usb_bed/bed_harness.h"

namespace {

namespace bed = kastrel::usb_bed_test;
namespace emu = ostrel::emulator_test;

constexpr bed::Millis kDeadline{15000};

class UsbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = std::make_unique<emu::EmulatorProcess>(
        socket_, std::vector<std::string>{"--eeprom", eeprom_, "--period", "200"});
    ASSERT_TRUE(emulator_->ready());
  }
  void TearDown() override {
    emulator_.reset();
    std::remove(eeprom_.c_str());
  }
  std::unique_ptr<bed::BedProcess> Probe(const std::string& scenario) {
    return std::make_unique<bed::BedProcess>(std::vector<std::string>{"--emulator-socket", socket_},
                                        std::vector<std::string>{USB_DRIVER_PROBE_PATH, scenario});
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

}  // namespace
