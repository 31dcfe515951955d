#include "tools/usb_bed/emulator_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kastrel::usb_bed {

int ConnectEmulator(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // Abstract name: a leading NUL, no terminator.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // A full backlog answers EAGAIN at once: taken as "not listening", tried again later.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace kastrel::usb_bed
