#include "tools/usb_bed/emulator_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/abstract_socket.h"

namespace kastrel::usb_bed {

int ConnectEmulator(const std::string& name) {
  const ostrel::AbstractAddress address = ostrel::MakeAbstractAddress(name);
  if (address.length == 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // A full backlog answers EAGAIN at once: taken as "not listening", tried again later.
  if (connect(fd, address.Get(), address.length) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace kastrel::usb_bed
