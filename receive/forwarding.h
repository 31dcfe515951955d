#pragma once
// What of a chunk goes to the GPS Data port. By default its runs of NMEA text, in one
// write: a run goes from a "$G" through the first LF that ends the chunk or is not
// followed by '$'; the next run starts at the next "$G" after it. What lies between runs
// (UBX frames, noise) stays behind:
//   "23*7B\r\n$GPGGA,...*59\r\n$GPRMC,...*7D\r\n" -> from "$GPGGA" through the last LF
//   "$GPGGA,...*59\r\n" B5 62 05 01 ... "$GPRMC,...*7D\r\n" -> GGA and RMC
#include <cstdint>

#include "platform/data_port.h"

namespace ostrel {

struct ForwardSpan {
  int32_t offset = 0;
  int32_t count = 0;  // 0: nothing to write
};

// The NMEA run of chunk[0, len); count 0 when there is no "$G" or no LF that ends it.
ForwardSpan NmeaRun(const std::uint8_t* chunk, int32_t len);

// Writes the chunk's NMEA runs, or every byte (even none) with pass-through. At most one
// write per call. Runs that lie apart are gathered in `scratch` (room for `len` bytes); a
// single run is written from the chunk itself.
void ForwardChunk(DataPortWriter& port, const std::uint8_t* chunk, int32_t len,
                  bool pass_binary_data, std::uint8_t* scratch);

}  // namespace ostrel
