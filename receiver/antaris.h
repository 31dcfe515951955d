#pragma once
// The u-blox Antaris receiver: the six UBX command frames, the commands that queue
// them, and the parser of the NAV-SOL and NAV-SBAS status messages.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gps/tgps.h"

namespace ostrel {

class TAntaris : public TGPS {
 public:
  // Scans every position of data[0, length) for B5 62 frames; applies NAV-SOL and
  // NAV-SBAS. True when any frame passed its checksum. Never reads past `length`: a
  // frame whose length field runs past the data is skipped, and a status message too
  // short for the byte read from it counts for the result but changes nothing.
  bool ParseUBX(const std::uint8_t* data, int32_t length);

  // The commands only append blocks through AppendBlocks (CommandQueue, BlockSize);
  // the caller begins or ends the sequence. Each appends all of its blocks or, when
  // CommandQueue is not set or has no room, none, and then returns false.
  // CFG-PRT data block, then the firmware's "9600" / "19200" control block.
  bool SetBaud9600();
  bool SetBaud19200();
  // CFG-SBAS data block, SBAS on or off.
  bool SetWAAS(bool on);
  // CFG-MSG data blocks: NAV-SOL, then NAV-SBAS, once per solution.
  bool EnableStatusMessages();
};

}  // namespace ostrel
