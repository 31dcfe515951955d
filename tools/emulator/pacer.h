#pragma once
// The chip's serial line into the firmware's USB buffer. Bytes cross the line at the baud
// pace (10 bits a byte); the firmware hands them to the host in packets of at most 64
// bytes: a full packet as soon as 64 have arrived, a short one when the line falls idle
// or the host polls ("^"). So packets are cut wherever the stream happens to fall.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::emulator {

inline constexpr std::size_t kPacketSize = 64;

struct Packet {
  std::array<std::uint8_t, kPacketSize> bytes{};
  std::size_t size = 0;
};

class StreamPacer {
 public:
  // Bytes the chip may have written ahead of the line; more are dropped, as an
  // overrunning UART drops them.
  static constexpr std::size_t kBacklog = 32768;

  StreamPacer() : ring_(kBacklog) {}

  // Bytes per second; 0 or less: the line is as fast as the host reads.
  void SetRate(double bytes_per_second, double now);

  // The chip wrote `bytes` at time `now` (seconds). Returns how many were kept.
  std::size_t Write(std::span<const std::uint8_t> bytes, double now);

  // Everything not yet handed out is forgotten.
  void Clear();

  // The host polled: bytes already across the line go out without waiting for 64.
  void Poll(double now);

  // The next packet due at `now`, if any.
  bool Take(double now, Packet& out);

  // Seconds from `now` until the next packet is due; negative when nothing is pending.
  double Due(double now) const;

  std::size_t Pending() const { return size_; }

 private:
  void Advance(double now);

  std::vector<std::uint8_t> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;     // bytes written by the chip, not yet handed out
  std::size_t arrived_ = 0;  // of those, bytes already across the line
  double credit_ = 0;        // fraction of the next byte on the line
  double last_ = 0;
  double rate_ = 0;
  bool poll_ = false;
};

}  // namespace ostrel::emulator
