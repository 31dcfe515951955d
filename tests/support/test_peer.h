#pragma once
// The module's side of the socket for tests: listens on a unique abstract name and talks
// in packets, as the emulator does.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include "platform/abstract_socket.h"
#include "support/fake_driver.h"

namespace ostrel::test {

class TestPeer {
 public:
  explicit TestPeer(std::string name) : name_(std::move(name)) { Listen(); }
  ~TestPeer() {
    Hangup();
    StopListening();
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  static std::string UniqueName(const char* tag) {
    static std::atomic<int> counter{0};
    return "ostrel-test-" + std::to_string(::getpid()) + "-" + tag + "-" +
           std::to_string(counter.fetch_add(1));
  }

  const std::string& Name() const { return name_; }
  bool Listening() const { return listen_fd_ >= 0; }

  void Listen() {
    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const AbstractAddress addr = MakeAbstractAddress(name_);
    if (::bind(listen_fd_, addr.Get(), addr.length) < 0 || ::listen(listen_fd_, 4) < 0) {
      ::close(listen_fd_);
      listen_fd_ = -1;
    }
  }

  bool Accept(std::chrono::milliseconds deadline = 5000ms) {
    if (!Ready(listen_fd_, deadline)) return false;
    Hangup();
    conn_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_fd_ >= 0;
  }

  // Blocks while the socket's buffer is full.
  bool Send(const Bytes& packet) {
    return ::send(conn_fd_, packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
  }

  // The next packet; nullopt when none came before the deadline or the panel hung up.
  std::optional<Bytes> Recv(std::chrono::milliseconds deadline = 5000ms) {
    if (!Ready(conn_fd_, deadline)) return std::nullopt;
    Bytes buf(256);
    const ssize_t n = ::recv(conn_fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }

  void Hangup() {
    if (conn_fd_ >= 0) ::close(conn_fd_);
    conn_fd_ = -1;
  }
  void StopListening() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
  }

 private:
  static bool Ready(int fd, std::chrono::milliseconds deadline) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(deadline.count())) == 1;
  }

  std::string name_;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
};

}  // namespace ostrel::test
