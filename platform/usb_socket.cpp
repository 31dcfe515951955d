// The module's USB driver stand-in: a SOCK_SEQPACKET socket in the abstract namespace.
// One packet is one bulk transfer, so packet boundaries survive as USB transfers do.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/abstract_socket.h"
#include "platform/usb_driver.h"

namespace ostrel {
namespace {

// A bulk transfer on the module's pipes never exceeds this.
constexpr int kMaxPacket = 64;

// The descriptor is closed only when the last user lets go: the read thread may still be
// inside recv() when the GUI thread closes, and must never go on to read a descriptor
// number that open() has meanwhile handed to something else.
struct Socket {
  explicit Socket(int f) : fd(f) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { ::close(fd); }
  const int fd;
};

int ConnectAbstract(const std::string& name) {
  const AbstractAddress addr = MakeAbstractAddress(name);
  if (addr.length == 0) return -1;

  // Non-blocking only for the connect: with the listener's backlog full a blocking connect
  // would hang the GUI thread; here it fails and the next tick tries again.
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::connect(fd, addr.Get(), addr.length);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    ::close(fd);
    return -1;
  }

  // Anyone can listen on an abstract name; only our own user or root may play the module.
  ucred cred{};
  socklen_t cred_len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) < 0 ||
      (cred.uid != ::getuid() && cred.uid != 0)) {
    ::close(fd);
    return -1;
  }

  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class SocketUsbDriver final : public UsbDriver {
 public:
  explicit SocketUsbDriver(std::string name) : name_(std::move(name)) {}
  ~SocketUsbDriver() override { Close(); }

  bool Open() override {
    Close();
    const int fd = ConnectAbstract(name_);
    if (fd < 0) return false;
    auto sock = std::make_shared<Socket>(fd);
    std::lock_guard lock(mu_);
    sock_ = std::move(sock);
    return true;
  }

  int BulkRead(std::uint8_t* dst, int max) override {
    // A zero-length recv would swallow a whole packet and report nothing.
    if (max <= 0) return 0;
    const std::shared_ptr<Socket> sock = Current();
    if (!sock) return 0;
    const auto want = static_cast<std::size_t>(max < kMaxPacket ? max : kMaxPacket);
    for (;;) {
      const ssize_t n = ::recv(sock->fd, dst, want, 0);
      if (n < 0 && errno == EINTR) continue;
      // A zero-length packet: the read goes on at once for the next one, no pause.
      if (n == 0 && !SocketEnded(sock->fd)) continue;
      return n > 0 ? static_cast<int>(n) : 0;
    }
  }

  void BulkWrite(const std::uint8_t* src, int len) override {
    // An empty packet reads as the end of the connection on the other side.
    if (len <= 0) return;
    const std::shared_ptr<Socket> sock = Current();
    if (!sock) return;
    // MSG_DONTWAIT: a module that has stopped reading must not freeze the window; the lost
    // block shows up as a missing acknowledgement instead.
    // Longer runs go out as full-speed USB would cut them: 64 bytes a packet.
    for (int off = 0; off < len; off += kMaxPacket) {
      const int count = len - off < kMaxPacket ? len - off : kMaxPacket;
      ssize_t rc;
      do {
        rc = ::send(sock->fd, src + off, static_cast<std::size_t>(count),
                    MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (rc < 0 && errno == EINTR);
      if (rc < 0) return;
    }
  }

  void AbortRead() override {
    // shutdown wakes a recv pending on another thread at once; close would not.
    if (const std::shared_ptr<Socket> sock = Current()) ::shutdown(sock->fd, SHUT_RD);
  }

  void Close() override {
    std::shared_ptr<Socket> sock;
    {
      std::lock_guard lock(mu_);
      sock.swap(sock_);
    }
    if (sock) ::shutdown(sock->fd, SHUT_RDWR);
  }

  bool IsOpen() const override {
    std::lock_guard lock(mu_);
    return sock_ != nullptr;
  }

 private:
  std::shared_ptr<Socket> Current() const {
    std::lock_guard lock(mu_);
    return sock_;
  }

  const std::string name_;
  mutable std::mutex mu_;
  std::shared_ptr<Socket> sock_;
};

}  // namespace

std::unique_ptr<UsbDriver> MakeSocketUsbDriver(std::string name) {
  return std::make_unique<SocketUsbDriver>(std::move(name));
}

}  // namespace ostrel
