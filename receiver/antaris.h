#pragma once
// The u-blox Antaris receiver: the six UBX command frames, the commands that queue
// them, and the parser of the NAV-SOL and NAV-SBAS status messages.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gps/tgps.h"
#include "link/command_queue.h"
#include "receiver/ubx.h"

namespace ostrel {

class TAntaris : public TGPS {
 public:
  // Scans every position of data[0, length) for B5 62 frames; applies NAV-SOL and
  // NAV-SBAS. True when any frame passed its checksum. Never reads past `length`: a
  // frame whose length field runs past the data is skipped, and a status message too
  // short for the byte read from it counts for the result but changes nothing.
  bool ParseUBX(const std::uint8_t* data, int32_t length);

  // The commands append blocks to `queue`, framed with `block_size`; the caller begins
  // or ends the sequence. Each appends all of its blocks or, when the queue has no room,
  // none, and then returns false.
  // CFG-PRT data block, then the firmware's "9600" / "19200" control block.
  static bool SetBaud9600(CommandQueue& queue, int32_t block_size);
  static bool SetBaud19200(CommandQueue& queue, int32_t block_size);
  // CFG-SBAS data block, SBAS on or off.
  static bool SetWAAS(CommandQueue& queue, int32_t block_size, bool on);
  // CFG-MSG data blocks: NAV-SOL, then NAV-SBAS, once per solution.
  static bool EnableStatusMessages(CommandQueue& queue, int32_t block_size);
  // CFG-RST data block: a cold, warm or hot restart.
  static bool Restart(CommandQueue& queue, int32_t block_size, ubx::RestartKind kind);
};

}  // namespace ostrel
