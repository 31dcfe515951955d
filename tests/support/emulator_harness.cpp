#include "support/emulator_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "receiver/ubx.h"
#include "support/child_wait.h"

extern char** environ;

namespace ostrel::emulator_test {
namespace {

using SteadyClock = std::chrono::steady_clock;

using test::RemainingMs;
using test::WaitExit;

pid_t Spawn(const std::vector<std::string>& args, int& stderr_fd) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  std::vector<std::string> all{KASTREL_EMULATOR_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, KASTREL_EMULATOR_PATH, &actions, nullptr, argv.data(), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  stderr_fd = pipe_fds[0];
  return pid;
}

std::string ReadAll(int fd, Millis deadline) {
  std::string text;
  const auto end = SteadyClock::now() + deadline;
  char buffer[512];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(end)) <= 0) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Block(char marker, const Bytes& payload) {
  Bytes block(64, '_');
  block[0] = static_cast<std::uint8_t>(marker);
  std::copy_n(payload.begin(), std::min<std::size_t>(payload.size(), 63), block.begin() + 1);
  return block;
}

Bytes Block(char marker, const std::string& payload) { return Block(marker, ToBytes(payload)); }

std::string UniqueName(const std::string& tag) {
  static std::atomic<int> counter{0};
  return "kastrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + tag;
}

std::string TempPath(const std::string& tag) {
  return (std::filesystem::temp_directory_path() / (UniqueName(tag) + ".bin")).string();
}

ExitResult RunEmulator(const std::vector<std::string>& args, Millis deadline) {
  int err_fd = -1;
  const pid_t pid = Spawn(args, err_fd);
  ExitResult result;
  if (pid < 0) return result;
  result.stderr_text = ReadAll(err_fd, deadline);  // ends when the child closes stderr
  ::close(err_fd);
  result.status = WaitExit(pid, deadline);
  if (result.status == -1) {
    ::kill(pid, SIGKILL);
    WaitExit(pid, Millis(2000));
  }
  return result;
}

EmulatorProcess::EmulatorProcess(const std::string& socket, const std::vector<std::string>& args) {
  std::vector<std::string> all{"--socket", socket};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = Spawn(all, output_fd_);
  if (pid_ < 0) return;
  const std::string expected = "kastrel-emulator: listening on @" + socket + "\n";
  const auto end = SteadyClock::now() + Millis(10000);
  std::string text;
  char c = 0;
  // One byte at a time, so nothing after the line is taken from the drain below.
  while (text.find(expected) == std::string::npos) {
    pollfd p{output_fd_, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(end)) <= 0 || ::read(output_fd_, &c, 1) != 1) break;
    text += c;
  }
  ready_ = text.find(expected) != std::string::npos;
  output_ = std::move(text);
  drain_ = std::thread([this] { Drain(); });
}

void EmulatorProcess::Drain() {
  char buffer[4096];
  while (true) {
    pollfd p{output_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) {
      // The emulator is gone or being ended and has nothing more to say.
      if (stopping_.load()) return;
      continue;
    }
    const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
    if (n <= 0) return;  // the emulator closed its end
    std::lock_guard lock(output_mu_);
    output_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string EmulatorProcess::output() const {
  std::lock_guard lock(output_mu_);
  return output_;
}

EmulatorProcess::~EmulatorProcess() {
  if (pid_ > 0 && Stop(SIGTERM) == -1) {
    ::kill(pid_, SIGKILL);
    WaitExit(pid_, Millis(2000));
  }
  stopping_.store(true);
  if (drain_.joinable()) drain_.join();
  if (output_fd_ >= 0) ::close(output_fd_);
}

int EmulatorProcess::Stop(int signal_number) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal_number);
  const int status = WaitExit(pid_, Millis(5000));
  if (status != -1) pid_ = -1;
  return status;
}

ModuleClient::~ModuleClient() { Close(); }

bool ModuleClient::TryConnect(const std::string& socket) {
  Close();
  fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, socket.data(), socket.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket.size());
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    closed_ = false;
    return true;
  }
  const int saved = errno;
  Close();
  errno = saved;
  return false;
}

bool ModuleClient::Connect(const std::string& socket, Millis deadline) {
  const auto end = SteadyClock::now() + deadline;
  while (!TryConnect(socket)) {
    if (SteadyClock::now() >= end) return false;
    std::this_thread::sleep_for(Millis(10));
  }
  return true;
}

void ModuleClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ModuleClient::Send(const Bytes& packet) {
  return fd_ >= 0 && ::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(packet.size());
}

std::optional<Bytes> ModuleClient::Receive(Millis timeout) {
  if (fd_ < 0 || closed_) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  Bytes packet(256);
  const ssize_t n = ::recv(fd_, packet.data(), packet.size(), MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  if (n == 0) {
    // End of connection, or a packet of 0 bytes, which must never be sent: after the
    // end the socket reports a hang-up.
    pollfd hup{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&hup, 1, 0) > 0 && (hup.revents & (POLLHUP | POLLRDHUP)) != 0) {
      closed_ = true;
      return std::nullopt;
    }
    ++bad_;
    return Bytes{};
  }
  if (n > 64) ++bad_;
  packet.resize(std::min<std::size_t>(static_cast<std::size_t>(n), packet.size()));
  sizes_.push_back(packet.size());
  return packet;
}

bool ModuleClient::WaitForPacket(const Bytes& expected, Millis deadline) {
  const auto end = SteadyClock::now() + deadline;
  while (SteadyClock::now() < end) {
    const std::optional<Bytes> packet = Receive(Millis(RemainingMs(end)));
    if (!packet) {
      if (closed_) return false;
      continue;
    }
    if (*packet == expected) return true;
    stream_.insert(stream_.end(), packet->begin(), packet->end());
  }
  return false;
}

bool ModuleClient::ReadUntil(const std::function<bool(const Bytes&)>& done, Millis deadline) {
  const auto end = SteadyClock::now() + deadline;
  while (!done(stream_)) {
    if (SteadyClock::now() >= end || closed_) return false;
    if (const std::optional<Bytes> packet = Receive(Millis(RemainingMs(end)))) {
      stream_.insert(stream_.end(), packet->begin(), packet->end());
    }
  }
  return true;
}

std::vector<std::string> ReceivedBlocks(const std::string& log_path) {
  std::ifstream in(log_path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    // "0.580 rx 64 *c | 2A 63 ..."
    std::istringstream words(line);
    std::string time, dir, count, rest;
    words >> time >> dir >> count;
    if (dir != "rx") continue;
    std::getline(words, rest);
    if (const std::size_t bar = rest.find(" | "); bar != std::string::npos) rest.resize(bar);
    if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
    if (rest != "^") lines.push_back(rest);
  }
  return lines;
}

std::vector<Frame> ValidFrames(const Bytes& data) {
  std::vector<Frame> frames;
  for (std::size_t i = 0; i + 8 <= data.size(); ++i) {
    if (data[i] != ubx::kSync1 || data[i + 1] != ubx::kSync2) continue;
    const std::size_t n = data[i + 4] | static_cast<std::size_t>(data[i + 5]) << 8;
    if (i + n + 8 > data.size()) continue;
    const ubx::Checksum ck = ubx::Fletcher(&data[i + 2], n + 4);
    if (ck.a != data[i + n + 6] || ck.b != data[i + n + 7]) continue;
    frames.push_back({data[i + 2], data[i + 3],
                      Bytes(data.begin() + static_cast<std::ptrdiff_t>(i + 6),
                            data.begin() + static_cast<std::ptrdiff_t>(i + 6 + n)),
                      i});
  }
  return frames;
}

}  // namespace ostrel::emulator_test
