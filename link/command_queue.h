#pragma once
// The command queue: 64-byte blocks waiting to be sent to the module, one per tick.
//
// Layout of the 65,536-byte buffer; the sender writes each block straight from it:
//   0      int32  SendPos  position of the next block to send
//   4      int32  EndPos   position just after the last queued block
//   8 ...  blocks back to back, then a 0 byte after the last one
// A block is pending when the byte at SendPos is not 0; every block starts with its
// marker ('!' data for the receiver chip, '*' command for the firmware), so 0 bytes
// inside payloads never look like the end.
#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel {

inline constexpr int32_t kQueueSize = 65536;
inline constexpr int32_t kFirstBlock = 8;
inline constexpr int32_t kStdBlockSize = 64;
inline constexpr std::uint8_t kDataMarker = '!';
inline constexpr std::uint8_t kControlMarker = '*';
inline constexpr std::uint8_t kFill = '_';

class CommandQueue {
 public:
  CommandQueue();

  std::uint8_t* Data() { return buf_.data(); }
  const std::uint8_t* Data() const { return buf_.data(); }

  int32_t SendPos() const;
  int32_t EndPos() const;
  void SetSendPos(int32_t pos);
  void SetEndPos(int32_t pos);

  // A block is pending at SendPos (the queue is busy).
  bool Pending() const { return buf_[static_cast<std::size_t>(SendPos())] != 0; }
  // Number of blocks from SendPos to EndPos for the given block size.
  int32_t BlocksQueued(int32_t block_size) const;

 private:
  std::array<std::uint8_t, kQueueSize> buf_{};
};

// The block size a command is framed with. Until the device has been opened once the
// shared size is 0; such commands are framed with the standard 64-byte block, so they
// neither hang nor overrun (the next successful open empties the queue anyway).
int32_t EffectiveBlockSize(int32_t block_size);

void ClearQueue(CommandQueue& queue);
// ClearQueue, the begin block "*c", then a 0 byte.
bool BeginSequence(CommandQueue& queue, int32_t block_size);
// How many blocks `len` payload bytes take at `block_size`.
std::size_t BlocksFor(std::size_t len, int32_t block_size);
// Whether `blocks` more blocks and the 0 byte after them fit behind EndPos. Every command
// asks this before it appends anything, so a sequence goes in whole or not at all.
bool HasRoomFor(const CommandQueue& queue, std::size_t blocks, int32_t block_size);
// Frames `len` bytes as blocks with one marker. Writes no 0 byte after the last block.
// Returns false, and appends nothing, when the blocks would not fit before the end of
// the buffer (with the terminating 0 byte): a sequence is never cut in half.
bool AppendBlocks(CommandQueue& queue, const std::uint8_t* bytes, std::size_t len, bool control,
                  int32_t block_size);
// The end block "**", then a 0 byte.
bool EndSequence(CommandQueue& queue, int32_t block_size);

}  // namespace ostrel
