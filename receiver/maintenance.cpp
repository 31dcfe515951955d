#include "receiver/maintenance.h"

#include <array>
#include <cstring>

namespace ostrel {
namespace {

// One firmware command and the end block, or nothing.
bool QueueCommand(CommandQueue& queue, int32_t block_size, const std::uint8_t* bytes,
                  std::size_t len) {
  if (!HasRoomFor(queue, BlocksFor(len, block_size) + 1, block_size)) return false;
  return AppendBlocks(queue, bytes, len, true, block_size) && EndSequence(queue, block_size);
}

bool QueueLetter(CommandQueue& queue, int32_t block_size, char letter) {
  const auto byte = static_cast<std::uint8_t>(letter);
  return QueueCommand(queue, block_size, &byte, 1);
}

template <bool (*SetBaud)(CommandQueue&, int32_t)>
bool QueueBaud(CommandQueue& queue, int32_t block_size) {
  // Port configuration, baud text, end block.
  if (!HasRoomFor(queue, 3, block_size)) return false;
  return SetBaud(queue, block_size) && EndSequence(queue, block_size);
}

}  // namespace

void ResetGPS(CommandQueue& queue, int32_t block_size) {
  ClearQueue(queue);
  EndSequence(queue, block_size);
}

bool QueueBaud9600(CommandQueue& queue, int32_t block_size) {
  return QueueBaud<&TAntaris::SetBaud9600>(queue, block_size);
}

bool QueueBaud19200(CommandQueue& queue, int32_t block_size) {
  return QueueBaud<&TAntaris::SetBaud19200>(queue, block_size);
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

bool QueueStatusRequest(CommandQueue& queue, int32_t block_size) {
  return BeginSequence(queue, block_size) && TAntaris::EnableStatusMessages(queue, block_size) &&
         EndSequence(queue, block_size);
}

bool QueueRestart(CommandQueue& queue, int32_t block_size, ubx::RestartKind kind) {
  if (!HasRoomFor(queue, 2, block_size)) return false;
  return TAntaris::Restart(queue, block_size, kind) && EndSequence(queue, block_size);
}

}  // namespace ostrel
