#pragma once
// What the emulated device tells the host about itself: the USB descriptors and the
// udev/sysfs record a test bed needs so that libusb enumerates it like a real device.
#include <cstdint>
#include <string>
#include <vector>

namespace kastrel::usb_bed {

enum class Shape {
  kModule,  // interface 0: bulk IN 64, then bulk OUT 64
  kOther,   // the module's two endpoints followed by an interrupt IN: not the module
};

struct DeviceIdentity {
  std::uint16_t vendor = 0x1209;
  std::uint16_t product = 0x4b53;
  Shape shape = Shape::kModule;
  int bus = 1;
  int device = 2;
};

// The 18-byte device descriptor followed by the whole configuration descriptor.
std::vector<std::uint8_t> Descriptors(const DeviceIdentity& id);
// The configuration descriptor alone (wTotalLength bytes), as GET_DESCRIPTOR returns it.
std::vector<std::uint8_t> ConfigurationDescriptor(const DeviceIdentity& id);

// "/dev/bus/usb/BBB/DDD"
std::string DevNode(const DeviceIdentity& id);
// The device's sysfs path inside the test bed.
std::string SysPath(const DeviceIdentity& id);
// The record for umockdev_testbed_add_from_string(). It names no /dev node: the bed
// makes that itself (a link to its flow-control pty) before the device is added.
std::string UdevRecord(const DeviceIdentity& id);

}  // namespace kastrel::usb_bed
