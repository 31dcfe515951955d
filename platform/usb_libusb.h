#pragma once
// The module over real USB (libusb-1.0), with the abstract socket as the way to its
// emulator. Pipe n is the n-th endpoint of interface 0 in descriptor order: pipe 0 the
// bulk IN endpoint, pipe 1 the bulk OUT one, 64-byte packets.
//
// Threads: libusb's events are handled on one thread of the driver's own, blocked in
// libusb_handle_events; hot-plug arrivals and departures and every transfer completion
// come there. Open runs on the GUI thread, BulkRead on the read thread, as the seam says.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/usb_driver.h"

namespace ostrel {

// What the user should hear about, once: a present device that has the module's endpoints
// but is not named in the settings, or a named one that the system will not let us open.
struct UsbNotice {
  enum class Kind { kUnnamedModule, kRefused };
  Kind kind = Kind::kUnnamedModule;
  UsbId id;
  std::string node;  // /dev/bus/usb/BBB/DDD
};
// Called on libusb's event thread or on the thread that calls Open.
using UsbNoticeSink = std::function<void(const UsbNotice&)>;

// An endpoint as its descriptor gives it.
struct UsbEndpoint {
  std::uint8_t address = 0;     // bit 7 set: IN
  std::uint8_t attributes = 0;  // bits 0-1: the transfer type, 2 for bulk
  std::uint16_t max_packet = 0;
};

// Exactly a bulk IN and then a bulk OUT endpoint of 64 bytes: only such a device is
// ever opened, so a named id that turns out to be a mouse is left alone.
bool HasModuleShape(std::span<const UsbEndpoint> endpoints);

// Open() takes a present USB device whose id is in `ids` and which has the module's shape;
// without one it connects the abstract socket `socket_name`, as the socket driver does.
// When libusb cannot start, only the socket is used.
std::unique_ptr<UsbDriver> MakeUsbDriver(std::vector<UsbId> ids, std::string socket_name,
                                         UsbNoticeSink notice);

}  // namespace ostrel
