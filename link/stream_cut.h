#pragma once
// Where the receiver's stream may be cut, and which packet is not part of it. Plain byte
// scans over what waits in RxBuffer; nothing here allocates.
//
//   $GPGGA,...*59\r\n B5 62 01 06 34 00 .. 0A .. CK CK $GPRMC,...*7D\r\n $GPGSA,...
//                  ^ may end here         ^ never: inside a frame         ^ last cut
#include <cstdint>

namespace ostrel {

// Just after the last message that has arrived whole: an LF outside every UBX frame, or
// the end of a complete UBX frame; 0 when there is none. A frame still arriving ends the
// scan: nothing from its sync pair on may be cut off, whatever LF bytes its header or
// payload holds. A complete frame with a wrong checksum was no frame; its LFs count.
int32_t WholeSentencesEnd(const std::uint8_t* bytes, int32_t n);

// Whether the packet that starts at `start` provably carries on a message begun before
// it in bytes[0, n): the checksum "*hh" of a sentence whose text it completes, or the rest
// of a UBX frame that is complete and passes its checksum with the packet in place. Such
// a packet is stream, even when its first two bytes look like a firmware reply.
bool ContinuesMessage(const std::uint8_t* bytes, int32_t start, int32_t n);

}  // namespace ostrel
