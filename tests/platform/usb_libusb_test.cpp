// The libusb driver where no USB device is involved: which endpoints make a module, the
// socket behind it when none is plugged in, and its event thread's life. What it does
// with a device is tested against an emulated one under the USB test bed.
#include "platform/usb_libusb.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <future>
#include <ostream>
#include <vector>

#include "support/param_name.h"
#include "support/test_peer.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::Count;
using test::TestPeer;
using namespace std::chrono_literals;

constexpr std::uint8_t kBulk = 2;
constexpr std::uint8_t kInterrupt = 3;

struct ShapeCase {
  const char* name;
  std::vector<UsbEndpoint> endpoints;
  bool module;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ModuleShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ModuleShapeTest, OnlyABulkInThenABulkOutOf64Bytes) {
  EXPECT_EQ(HasModuleShape(GetParam().endpoints), GetParam().module);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ModuleShapeTest,
    ::testing::Values(
        ShapeCase{"Module", {{0x81, kBulk, 64}, {0x01, kBulk, 64}}, true},
        ShapeCase{"OtherAddresses", {{0x86, kBulk, 64}, {0x02, kBulk, 64}}, true},
        ShapeCase{"OutBeforeIn", {{0x01, kBulk, 64}, {0x81, kBulk, 64}}, false},
        ShapeCase{"InterruptIn", {{0x81, kInterrupt, 64}, {0x01, kBulk, 64}}, false},
        ShapeCase{"InterruptOut", {{0x81, kBulk, 64}, {0x01, kInterrupt, 64}}, false},
        ShapeCase{"TwoIn", {{0x81, kBulk, 64}, {0x82, kBulk, 64}}, false},
        ShapeCase{"HighSpeedPackets", {{0x81, kBulk, 512}, {0x01, kBulk, 512}}, false},
        ShapeCase{"SmallPackets", {{0x81, kBulk, 32}, {0x01, kBulk, 64}}, false},
        ShapeCase{"ExtraTransactionBits", {{0x81, kBulk, 0x0840}, {0x01, kBulk, 64}}, false},
        ShapeCase{
            "ThirdEndpoint", {{0x81, kBulk, 64}, {0x01, kBulk, 64}, {0x82, kInterrupt, 8}}, false},
        ShapeCase{"InOnly", {{0x81, kBulk, 64}}, false}, ShapeCase{"NoEndpoints", {}, false}),
    ostrel::test::ParamName());

int Entries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

// No device named or present: the socket, with its packets and its abort, as before.
TEST(UsbLibusbDriver, WithoutADeviceIsTheSocket) {
  TestPeer peer(TestPeer::UniqueName("usb"));
  std::vector<UsbNotice> notices;
  auto driver = MakeUsbDriver({{0x1209, 0x4b53}}, peer.Name(),
                              [&](const UsbNotice& n) { notices.push_back(n); });
  ASSERT_TRUE(driver->Open());
  ASSERT_TRUE(peer.Accept());
  EXPECT_TRUE(driver->IsOpen());

  const Bytes block = Count(64, 7);
  driver->BulkWrite(block.data(), 64);
  EXPECT_EQ(peer.Recv(), block);
  peer.Send(Count(17));
  std::uint8_t buf[64];
  ASSERT_EQ(driver->BulkRead(buf, 64), 17);
  EXPECT_EQ(Bytes(buf, buf + 17), Count(17));

  auto pending = std::async(std::launch::async, [&] { return driver->BulkRead(buf, 64); });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  driver->AbortRead();
  ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(pending.get(), 0);
  driver->Close();
  EXPECT_FALSE(driver->IsOpen());
  EXPECT_TRUE(notices.empty());
}

// Each driver has libusb's event thread and descriptors; they all go with it, or a
// program that made drivers again and again would grow.
TEST(UsbLibusbDriver, EventThreadAndDescriptorsEndWithTheDriver) {
  const std::string nobody = TestPeer::UniqueName("nobody");
  MakeUsbDriver({}, nobody, {});  // libusb's own one-time set-up out of the count
  const int threads = Entries("/proc/self/task");
  const int fds = Entries("/proc/self/fd");
  for (int i = 0; i < 20; ++i) {
    auto driver = MakeUsbDriver({{0x1209, 0x4b53}}, nobody, {});
    EXPECT_FALSE(driver->Open());
    if (i == 0) {
      EXPECT_GT(Entries("/proc/self/task"), threads) << "no event thread";
    }
  }
  EXPECT_EQ(Entries("/proc/self/task"), threads);
  EXPECT_EQ(Entries("/proc/self/fd"), fds);
}

}  // namespace
}  // namespace ostrel
