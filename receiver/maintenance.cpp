#include "receiver/maintenance.h"

#include <array>
#include <cstring>

namespace ostrel {
namespace {

std::size_t BlocksFor(std::size_t len, int32_t block_size) {
  const auto payload = static_cast<std::size_t>(EffectiveBlockSize(block_size) - 1);
  return (len + payload - 1) / payload;
}

// Room for `blocks` more blocks and the 0 byte after them.
bool Fits(const CommandQueue& queue, int32_t block_size, std::size_t blocks) {
  const auto size = static_cast<std::size_t>(EffectiveBlockSize(block_size));
  return static_cast<std::size_t>(queue.EndPos()) + blocks * size + 1 <=
         static_cast<std::size_t>(kQueueSize);
}

// One firmware command and the end block, or nothing.
bool QueueCommand(CommandQueue& queue, int32_t block_size, const std::uint8_t* bytes,
                  std::size_t len) {
  if (!Fits(queue, block_size, BlocksFor(len, block_size) + 1)) return false;
  return AppendBlocks(queue, bytes, len, true, block_size) && EndSequence(queue, block_size);
}

bool QueueLetter(CommandQueue& queue, int32_t block_size, char letter) {
  const auto byte = static_cast<std::uint8_t>(letter);
  return QueueCommand(queue, block_size, &byte, 1);
}

template <bool (TAntaris::*SetBaud)()>
bool QueueBaud(CommandQueue& queue, int32_t block_size, TAntaris& receiver) {
  // Port configuration, baud text, end block.
  if (receiver.CommandQueue == nullptr || !Fits(queue, block_size, 3)) return false;
  return (receiver.*SetBaud)() && EndSequence(queue, block_size);
}

}  // namespace

void ResetGPS(CommandQueue& queue, int32_t block_size) {
  ClearQueue(queue);
  EndSequence(queue, block_size);
}

bool QueueBaud9600(CommandQueue& queue, int32_t block_size, TAntaris& receiver) {
  return QueueBaud<&TAntaris::SetBaud9600>(queue, block_size, receiver);
}

bool QueueBaud19200(CommandQueue& queue, int32_t block_size, TAntaris& receiver) {
  return QueueBaud<&TAntaris::SetBaud19200>(queue, block_size, receiver);
}

bool QueueQueryVersion(CommandQueue& queue, int32_t block_size) {
  return QueueLetter(queue, block_size, 'v');
}

bool QueueEraseEEPROM(CommandQueue& queue, int32_t block_size) {
  return QueueLetter(queue, block_size, 'e');
}

bool QueueReadEEPROM(CommandQueue& queue, int32_t block_size) {
  return QueueLetter(queue, block_size, 'r');
}

bool QueueWriteEEPROM(CommandQueue& queue, int32_t block_size, std::string_view serial) {
  if (serial.size() < kSerialLength)
    throw SerialNumberError("The serial number must have 10 characters.");
  std::array<std::uint8_t, kSerialLength + 1> payload{};
  payload[0] = 'w';
  std::memcpy(payload.data() + 1, serial.data(), kSerialLength);
  return QueueCommand(queue, block_size, payload.data(), payload.size());
}

bool QueueStatusRequest(CommandQueue& queue, int32_t block_size, TAntaris& receiver) {
  if (receiver.CommandQueue == nullptr) return false;
  return BeginSequence(queue, block_size) && receiver.EnableStatusMessages() &&
         EndSequence(queue, block_size);
}

}  // namespace ostrel
