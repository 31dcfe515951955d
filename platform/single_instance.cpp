#include "platform/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrel {

SingleInstance::SingleInstance(std::string_view name) {
  // Abstract address: a NUL, then the name; no NUL at the end (the length says where
  // the name stops). Too long a name is cut to what sun_path holds.
  std::string full = std::string(name) + " uid " + std::to_string(::getuid());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::size_t n = full.size() < sizeof addr.sun_path - 1 ? full.size() : sizeof addr.sun_path - 1;
  std::memcpy(addr.sun_path + 1, full.data(), n);
  auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), addr_len) != 0) {
    already_running_ = errno == EADDRINUSE;
    ::close(fd);
    return;
  }
  fd_ = fd;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool AlreadyRunning(std::string_view name) {
  // Kept until the process ends, as the mutex handle is. Called from program entry only.
  static std::vector<std::unique_ptr<SingleInstance>> marks;
  marks.push_back(std::make_unique<SingleInstance>(name));
  return marks.back()->AlreadyRunning();
}

}  // namespace ostrel
