#pragma once
// The seam to the module's USB driver. The module itself is reached over USB through
// libusb (usb_libusb.h); its emulator, and the module when no USB id is named, through a
// SOCK_SEQPACKET socket in the abstract namespace. One packet is one bulk transfer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ostrel {

inline constexpr const char* kUsbDeviceName = "Ezusb-0";

// A USB device's vendor and product id, as lsusb prints them ("1209:4b53").
struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  friend bool operator==(const UsbId&, const UsbId&) = default;
};

class UsbDriver {
 public:
  virtual ~UsbDriver() = default;
  // Opens the device; false when no module answers. Called on the GUI thread.
  virtual bool Open() = 0;
  // One bulk read on pipe 0 of at most `max` bytes. Blocks until data, end or abort.
  // Returns the byte count, 0 on failure or end. Called on the read thread only, and may
  // run while the GUI thread writes, aborts or closes.
  virtual int BulkRead(std::uint8_t* dst, int max) = 0;
  // One bulk write on pipe 1. Its result is not checked: the module's reply to a block
  // is what tells whether it arrived.
  virtual void BulkWrite(const std::uint8_t* src, int len) = 0;
  // Abort pipe 0: ends a pending BulkRead at once.
  virtual void AbortRead() = 0;
  // Closes the handle; a BulkRead pending or issued afterwards returns 0.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // How long the panel may go between attempts to open while no module answers, in ms.
  // A driver that is told of arrivals (SetArrivalHook) needs the attempts only as a
  // fallback.
  virtual int OpenRetryInterval() const { return 100; }
  // `hook` is called, on any thread, when a module the driver would open has appeared:
  // the next attempt to open should not wait. Empty: nobody is told.
  virtual void SetArrivalHook(const std::function<void()>& hook) { (void)hook; }
};

// The socket-backed driver. `name` is the abstract socket name (no leading NUL).
std::unique_ptr<UsbDriver> MakeSocketUsbDriver(std::string name = kUsbDeviceName);

}  // namespace ostrel
