#pragma once
// The address of a name in Linux's abstract Unix socket namespace: a NUL byte, then the
// name without a terminator. No file appears on disk and the name goes with the last
// socket bound to it, so a crashed module leaves nothing behind. The panel, the emulator
// and the USB test bed build it here, so the two sides of the socket always agree.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ostrel {

struct AbstractAddress {
  sockaddr_un address{};
  socklen_t length = 0;  // 0: no address (an empty name or one too long)

  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// The longest name: sun_path less the leading NUL.
inline constexpr std::size_t kMaxAbstractName = sizeof(sockaddr_un::sun_path) - 1;

inline AbstractAddress MakeAbstractAddress(std::string_view name) {
  AbstractAddress a;
  if (name.empty() || name.size() > kMaxAbstractName) return a;
  a.address.sun_family = AF_UNIX;
  std::memcpy(a.address.sun_path + 1, name.data(), name.size());
  a.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return a;
}

// After recv() gave 0 bytes on a connected SOCK_SEQPACKET socket: whether the connection
// has ended (the peer closed it, or reading was shut down here). Otherwise it was a packet
// of no bytes, which on USB ends a transfer whose length is a multiple of 64: neither data
// nor the end of the link.
inline bool SocketEnded(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return true;
  return (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace ostrel
