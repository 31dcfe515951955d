#include "tools/usb_bed/descriptors.h"

#include <cstdio>
#include <initializer_list>

namespace kastrel::usb_bed {
namespace {

constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kInterrupt = 0x03;
constexpr std::uint16_t kPacketSize = 64;

// Byte by byte: GCC's bounds check misreads vector::insert of a short list under -O3.
void Append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
  for (const auto b : bytes) out.push_back(b);
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint8_t type,
              std::uint16_t size, std::uint8_t interval) {
  Append(out, {7, 0x05, address, type});
  Put16(out, size);
  out.push_back(interval);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (const auto b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

std::string Format(const char* pattern, int value) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

std::vector<std::uint8_t> ConfigurationDescriptor(const DeviceIdentity& id) {
  std::vector<std::uint8_t> endpoints;
  Endpoint(endpoints, 0x81, kBulk, kPacketSize, 0);
  Endpoint(endpoints, 0x01, kBulk, kPacketSize, 0);
  if (id.shape == Shape::kOther) Endpoint(endpoints, 0x82, kInterrupt, 8, 10);
  const auto endpoint_count = static_cast<std::uint8_t>(endpoints.size() / 7);

  std::vector<std::uint8_t> out = {9, 0x02, 0, 0, 1, 1, 0, 0x80, 50};
  // Interface 0, alternate setting 0, vendor class.
  Append(out, {9, 0x04, 0, 0, endpoint_count, 0xFF, 0, 0, 0});
  for (const auto b : endpoints) out.push_back(b);
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

std::vector<std::uint8_t> Descriptors(const DeviceIdentity& id) {
  // USB 2.0, vendor class, 64-byte control pipe, release 1.00, no strings, one configuration.
  std::vector<std::uint8_t> out = {18, 0x01, 0x00, 0x02, 0xFF, 0, 0, 64};
  Put16(out, id.vendor);
  Put16(out, id.product);
  Append(out, {0x00, 0x01, 0, 0, 0, 1});
  const auto config = ConfigurationDescriptor(id);
  for (const auto b : config) out.push_back(b);
  return out;
}

std::string DevNode(const DeviceIdentity& id) {
  return Format("/dev/bus/usb/%03d", id.bus) + Format("/%03d", id.device);
}

std::string SysPath(const DeviceIdentity& id) {
  return Format("/sys/devices/pci0000:00/0000:00:14.0/usb%d", id.bus) + Format("/%d-1", id.bus);
}

std::string UdevRecord(const DeviceIdentity& id) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "%04x/%04x/100", id.vendor, id.product);
  char vendor[8];
  char product[8];
  std::snprintf(vendor, sizeof vendor, "%04x", id.vendor);
  std::snprintf(product, sizeof product, "%04x", id.product);
  // Attribute values end in a newline as real sysfs values do; libusb warns otherwise.
  std::string r;
  r += "P: " + SysPath(id).substr(4) + "\n";
  r += "E: DEVNAME=" + DevNode(id) + "\n";
  r += "E: DEVTYPE=usb_device\n";
  r += "E: DRIVER=usb\n";
  r += std::string("E: PRODUCT=") + ids + "\n";
  r += "E: SUBSYSTEM=usb\n";
  r += "E: BUSNUM=" + Format("%03d", id.bus) + "\n";
  r += "E: DEVNUM=" + Format("%03d", id.device) + "\n";
  r += "E: MAJOR=189\n";
  r += "E: MINOR=" + Format("%d", (id.bus - 1) * 128 + id.device - 1) + "\n";
  r += "A: busnum=" + Format("%d", id.bus) + "\\n\n";
  r += "A: devnum=" + Format("%d", id.device) + "\\n\n";
  r += std::string("A: idVendor=") + vendor + "\\n\n";
  r += std::string("A: idProduct=") + product + "\\n\n";
  r += "A: bcdDevice=0100\\n\n";
  r += "A: bConfigurationValue=1\\n\n";
  r += "A: bNumConfigurations=1\\n\n";
  r += "A: bNumInterfaces= 1\\n\n";
  r += "A: bMaxPacketSize0=64\\n\n";
  r += "A: speed=12\\n\n";
  r += "H: descriptors=" + Hex(Descriptors(id)) + "\n";
  return r;
}

}  // namespace kastrel::usb_bed
