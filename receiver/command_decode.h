#pragma once
// What an application wrote, in words, for commands.log: UBX frames by class and id
// name with their fields, the firmware's letters, NMEA text, and what is none of these.
//   B5 62 06 16 08 00 03 07 03 00 51 08 00 00 8A 41 -> "CFG-SBAS mode=enabled usage=0x07 maxSBAS=3"
//   24 50 55 42 58 2C 34 30 ... 0D 0A               -> "NMEA $PUBX,40,GLL,0,0,0,0*5C"
//   2A 76                                           -> "firmware *v (query version)"
#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel {

// "CFG-PRT", "NAV-SOL", or "06-7F" for a pair without a name.
std::string UbxMessageName(std::uint8_t cls, std::uint8_t id);

// One part per message, joined by "; ".
std::string DecodeCommand(const std::uint8_t* bytes, std::size_t count);

}  // namespace ostrel
