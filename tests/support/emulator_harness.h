#pragma once
// The real kastrel-emulator as a child process, and a client on its real socket that
// checks the size of every packet it reads. All waits have deadlines.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::emulator_test {

using Bytes = std::vector<std::uint8_t>;
using Millis = std::chrono::milliseconds;

Bytes ToBytes(const std::string& text);
// A 64-byte block: marker, payload, '_' fill.
Bytes Block(char marker, const Bytes& payload);
Bytes Block(char marker, const std::string& payload);

// A socket name and an EEPROM path no other test uses.
std::string UniqueName(const std::string& tag);
std::string TempPath(const std::string& tag);

struct ExitResult {
  int status = -1;          // exit status, or -1 when it did not end by itself in time
  std::string stderr_text;  // stdout and stderr together
};
// Runs the emulator to its end (for option errors and --help).
ExitResult RunEmulator(const std::vector<std::string>& args, Millis deadline);

// The one way the tests start the emulator. Its stdout and stderr are read all the time it
// runs, not only up to the "listening" line, so a long run never fills the pipe and
// blocks the emulator on a write; what it wrote stays readable through output().
class EmulatorProcess {
 public:
  // Starts the emulator on `socket` with `args` and waits for its "listening" line.
  EmulatorProcess(const std::string& socket, const std::vector<std::string>& args);
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  // Everything it wrote to stdout and stderr so far.
  std::string output() const;
  // Sends `signal` and waits for the end; the exit status, or -1.
  int Stop(int signal_number);

 private:
  void Drain();

  pid_t pid_ = -1;
  int output_fd_ = -1;
  bool ready_ = false;
  mutable std::mutex output_mu_;
  std::string output_;
  std::atomic<bool> stopping_{false};
  std::thread drain_;
};

class ModuleClient {
 public:
  ModuleClient() = default;
  ~ModuleClient();
  ModuleClient(const ModuleClient&) = delete;
  ModuleClient& operator=(const ModuleClient&) = delete;

  // Tries until the deadline.
  bool Connect(const std::string& socket, Millis deadline);
  // One attempt; errno tells why it failed.
  bool TryConnect(const std::string& socket);
  void Close();
  bool Send(const Bytes& packet);

  // The next packet within `timeout`. Empty result on timeout or end of connection.
  std::optional<Bytes> Receive(Millis timeout);
  // Reads until a packet equal to `expected` arrives; other packets go to stream().
  bool WaitForPacket(const Bytes& expected, Millis deadline);
  // Reads until `done(stream())` holds.
  bool ReadUntil(const std::function<bool(const Bytes&)>& done, Millis deadline);

  const Bytes& stream() const { return stream_; }
  void ClearStream() { stream_.clear(); }
  const std::vector<std::size_t>& packet_sizes() const { return sizes_; }
  // Packets of 0 bytes or more than 64 seen so far.
  int bad_packets() const { return bad_; }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  Bytes stream_;
  std::vector<std::size_t> sizes_;
  int bad_ = 0;
  bool closed_ = false;
};

// What the panel sent, from the emulator's --log at `log_path`: the summary of every "rx"
// packet ("j", "*c", "! CFG-PRT ..."), the poll byte '^' left out.
std::vector<std::string> ReceivedBlocks(const std::string& log_path);

// Offsets of the UBX frames in `data` whose checksum holds.
struct Frame {
  std::uint8_t cls, id;
  Bytes payload;
  std::size_t offset;
};
std::vector<Frame> ValidFrames(const Bytes& data);

}  // namespace ostrel::emulator_test
