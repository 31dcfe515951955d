#pragma once
// What the maintenance buttons put into the command queue. Pure queue work: the window
// keeps the Yes/No box, the label clearing and the device test; the sender delivers
// the blocks one per tick. Appending goes behind whatever is queued, even while a
// sequence is being sent. Each action queues all of its blocks or, when the queue has
// no room, none (and returns false), so a sequence is never cut in half.
#include <cstdint>
#include <string_view>

#include "link/command_queue.h"
#include "platform/error.h"
#include "receiver/antaris.h"

namespace ostrel {

// A serial number shorter than the 10 characters the EEPROM holds.
class SerialNumberError : public Error {
 public:
  using Error::Error;
};

inline constexpr std::size_t kSerialLength = 10;

// Reset GPS (also the sender's answer to a wrong acknowledgement): everything queued,
// sent or not, is dropped and the end block alone remains.
void ResetGPS(CommandQueue& queue, int32_t block_size);

// 9600 / 19200 Baud: TAntaris::SetBaud9600/19200, then the end block. False, nothing
// queued, when the queue has no room.
bool QueueBaud9600(CommandQueue& queue, int32_t block_size);
bool QueueBaud19200(CommandQueue& queue, int32_t block_size);

// Query Version ('v'), Erase ('e'), Read Serial # ('r'): one control block, then the
// end block.
bool QueueQueryVersion(CommandQueue& queue, int32_t block_size);
bool QueueEraseEEPROM(CommandQueue& queue, int32_t block_size);
bool QueueReadEEPROM(CommandQueue& queue, int32_t block_size);

// Write Serial #: the control block 'w' + the first 10 characters of `serial`, then the
// end block. Throws SerialNumberError, queuing nothing, when `serial` is shorter.
bool QueueWriteEEPROM(CommandQueue& queue, int32_t block_size, std::string_view serial);

// Update GPS Status: begin block, TAntaris::EnableStatusMessages, end block. The caller
// checks the device is open and the queue idle.
bool QueueStatusRequest(CommandQueue& queue, int32_t block_size);

// Cold / Warm / Hot restart: TAntaris::Restart, then the end block, behind whatever is
// queued.
bool QueueRestart(CommandQueue& queue, int32_t block_size, ubx::RestartKind kind);

}  // namespace ostrel
