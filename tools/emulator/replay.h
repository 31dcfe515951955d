#pragma once
// A recorded receiver log played back as the chip's output, looping. The log is cut into
// navigation cycles by its own clock: the time field of RMC/GGA/ZDA sentences, or, in a
// UBX-only log, the iTOW of NAV frames. Everything between two cycle starts (garbage,
// UBX frames, odd lines) stays with the cycle before, byte for byte.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ostrel::emulator {

// Offsets where a message begins: a '$' at a line start, or a UBX frame whose checksum holds.
std::vector<std::size_t> MessageStarts(std::span<const std::uint8_t> data);

// Offsets where a new navigation cycle begins; the first is always 0.
std::vector<std::size_t> CycleStarts(std::span<const std::uint8_t> data);

class Replay {
 public:
  // Reads the whole file; false with a one-line reason when it is missing or empty.
  bool Load(const std::string& path, std::string& error);

  // Back to the first byte of the log.
  void Rewind();

  // Appends the next cycle, wrapping to the first after the last.
  void NextCycle(std::vector<std::uint8_t>& out);

  // Appends about `want` bytes, ending at a message start where one is near; wraps.
  void NextRun(std::size_t want, std::vector<std::uint8_t>& out);

  const std::vector<std::uint8_t>& bytes() const { return data_; }
  std::size_t Cycles() const { return cycles_.size(); }

 private:
  std::vector<std::uint8_t> data_;
  std::vector<std::size_t> messages_;
  std::vector<std::size_t> cycles_;
  std::size_t cursor_ = 0;
};

}  // namespace ostrel::emulator
