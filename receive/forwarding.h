#pragma once
// What of a chunk goes to the GPS Data port. By default one run of NMEA text: from the
// first "$G" through the first LF that ends the chunk or is not followed by '$'.
// A chunk from the module often starts mid-sentence and may hold UBX frames:
//   "23*7B\r\n$GPGGA,...*59\r\n$GPRMC,...*7D\r\n" -> from "$GPGGA" through the last LF
//   "$GPGGA,...*59\r\n" B5 62 01 06 ...           -> the GGA sentence only
#include <cstdint>

#include "platform/data_port.h"

namespace ostrel {

struct ForwardSpan {
  int32_t offset = 0;
  int32_t count = 0;  // 0: nothing to write
};

// The NMEA run of chunk[0, len); count 0 when there is no "$G" or no LF that ends it.
ForwardSpan NmeaRun(const std::uint8_t* chunk, int32_t len);

// Writes the chunk's NMEA run, or every byte (even none) with pass-through. At most one
// write per call.
void ForwardChunk(DataPortWriter& port, const std::uint8_t* chunk, int32_t len,
                  bool PassBinaryData);

}  // namespace ostrel
