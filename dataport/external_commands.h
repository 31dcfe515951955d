#pragma once
// Commands an application writes to the GPS Data port, passed on to the receiver.
//
// Bytes are collected as they arrive; 200 ms after the first arrival that found the
// command queue idle, everything collected goes out as one sequence: begin block "*c",
// data blocks ('!', 63 bytes, '_' fill), end block "**". Bytes that arrive while a
// sequence is being sent are held until a later arrival finds the queue idle.
// A command too long for the buffer is refused whole, with a message: none of it goes
// out, including its pieces that arrived before the one that overflowed, nor the rest of
// it that follows hard on its heels. What comes after a pause is a new command.
#include <atomic>
#include <cstdint>
#include <vector>

#include "dataport/message_sink.h"
#include "link/command_queue.h"
#include "platform/clock.h"
#include "platform/virtual_port.h"

namespace ostrel {

// The VSPortRead timer (200 ms), used as a one-shot. Enable on a running timer must
// not restart it; the logic only enables a stopped one.
class OneShotTimer {
 public:
  virtual ~OneShotTimer() = default;
  virtual void Enable() = 0;
  virtual void Disable() = 0;
  virtual bool IsActive() const = 0;
};

inline constexpr int32_t kExternalBufferSize = 65536;
inline constexpr char kCommandTooLong[] = "Command from external application is too long.";
// A pseudo-terminal hands one write over in pieces as fast as the program reads them;
// an arrival later than this after the last piece of a refused command starts a new one.
inline constexpr Millis kRefusedRestGap = 50;

// The most bytes one sequence can carry: the queue's blocks minus begin and end block.
// 64,323 with 64-byte blocks.
int32_t MaxExternalCommand(int32_t block_size);

class ExternalCommands {
 public:
  // `block_size`: the link's BlockSize (0 until the device was first opened).
  ExternalCommands(VirtualPort& port, OneShotTimer& timer, MessageSink& messages,
                   CommandQueue& queue, const std::atomic<int32_t>& block_size, const Clock& clock);

  // The port's OnRxChar: `count` bytes are waiting in the port.
  void VSPortRxChar(std::uint32_t count);
  // The VSPortRead timer has run out.
  void VSPortReadTimer();

  int32_t ExternalLength() const { return external_length_; }
  const std::uint8_t* ExternalBuffer() const { return external_buffer_.data(); }
  // A refused command is being dropped: arrivals that follow it without a pause are
  // read and forgotten.
  bool Dropping() const { return dropping_; }

 private:
  void ShowError(const char* text);
  // Reads and forgets up to `count` bytes waiting in the port.
  void DropWaiting(std::uint32_t count);

  VirtualPort& port_;
  OneShotTimer& timer_;
  MessageSink& messages_;
  CommandQueue& queue_;
  const std::atomic<int32_t>& block_size_;
  const Clock& clock_;
  std::vector<std::uint8_t> external_buffer_;  // kExternalBufferSize, allocated once
  int32_t external_length_ = 0;
  // A refused command is being dropped; `last_dropped_` is when its last piece came.
  bool dropping_ = false;
  Millis last_dropped_ = 0;
  bool box_up_ = false;  // a modal box runs the event loop: more arrivals come meanwhile
};

}  // namespace ostrel
