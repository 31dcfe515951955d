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
  // NAV-SBAS. True when any frame passed its checksum. Never reads past `length`.
  bool ParseUBX(const std::uint8_t* data, int32_t length);

  bool SetBaud9600();
  bool SetBaud19200();
  bool SetWAAS(bool on);
  bool EnableStatusMessages();
};

}  // namespace ostrel
