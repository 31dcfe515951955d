#include "tools/usb_bed/flow_pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kastrel::usb_bed {
namespace {
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
}  // namespace

FlowPty::~FlowPty() { Close(); }

bool FlowPty::Open(unsigned mode) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return false;
  const char* name = (grantpt(master_) == 0 && unlockpt(master_) == 0) ? ptsname(master_) : nullptr;
  if (name != nullptr) {
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    const int saved = errno;
    Close();
    errno = saved;
    return false;
  }
  cfmakeraw(&tio);
  tio.c_iflag |= IXON;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXANY | IXOFF);
  tio.c_cc[VSTART] = kXon;
  tio.c_cc[VSTOP] = kXoff;
  if (tcsetattr(slave_, TCSANOW, &tio) != 0 || fchmod(slave_, mode) != 0) {
    const int saved = errno;
    Close();
    errno = saved;
    return false;
  }
  ready_ = true;
  SetReady(false);
  return true;
}

void FlowPty::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
  slave_path_.clear();
}

void FlowPty::SetReady(bool ready) {
  if (master_ < 0 || ready == ready_) return;
  ready_ = ready;
  const char c = ready ? kXon : kXoff;
  // One byte into an almost empty input queue: this does not block.
  [[maybe_unused]] const auto written = write(master_, &c, 1);
}

}  // namespace kastrel::usb_bed
