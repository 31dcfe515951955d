#pragma once
// The device node's poll readiness. umockdev's node is a plain file that poll() always
// reports writable, so a libusb client with a transfer pending would spin on
// REAPURBNDELAY. The node is made a link to this pty's slave instead: with IXON set, the
// XOFF/XON we write to the master stop and start the slave's output, so "writable" means
// "a URB can be reaped". Closing the master hangs the slave up (POLLERR|POLLHUP), which
// libusb takes as the device's disconnection.
#include <string>

namespace kastrel::usb_bed {

class FlowPty {
 public:
  FlowPty() = default;
  ~FlowPty();
  FlowPty(const FlowPty&) = delete;
  FlowPty& operator=(const FlowPty&) = delete;

  // A new pair, stopped (nothing to reap), the slave given `mode`. False with errno set.
  bool Open(unsigned mode);
  // Hangs the slave up.
  void Close();
  bool is_open() const { return master_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }

  // Reapable or not; writes only on a change.
  void SetReady(bool ready);

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the termios set here stays while no client has it
  bool ready_ = false;
  std::string slave_path_;
};

}  // namespace kastrel::usb_bed
