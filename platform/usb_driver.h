#pragma once
// The seam to the module's USB driver. On Linux the module (or its emulator) is a
// SOCK_SEQPACKET socket in the abstract namespace; one packet is one bulk transfer.
#include <cstdint>
#include <memory>
#include <string>

namespace ostrel {

inline constexpr const char* kUsbDeviceName = "Ezusb-0";

class UsbDriver {
 public:
  virtual ~UsbDriver() = default;
  // Opens the device; false when no module answers. Called on the GUI thread.
  virtual bool Open() = 0;
  // One bulk read on pipe 0 of at most `max` bytes. Blocks until data, end or abort.
  // Returns the byte count, 0 on failure or end. Called on the read thread only, and may
  // run while the GUI thread writes, aborts or closes.
  virtual int BulkRead(std::uint8_t* dst, int max) = 0;
  // One bulk write on pipe 1. The result is not checked by the design.
  virtual void BulkWrite(const std::uint8_t* src, int len) = 0;
  // Abort pipe 0: ends a pending BulkRead at once.
  virtual void AbortRead() = 0;
  // Closes the handle; a BulkRead pending or issued afterwards returns 0.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// The socket-backed driver. `name` is the abstract socket name (no leading NUL).
std::unique_ptr<UsbDriver> MakeSocketUsbDriver(std::string name = kUsbDeviceName);

}  // namespace ostrel
