#pragma once
// NMEA 0183 output as the Antaris writes it:
//   $GPGGA,092751.00,4807.03800,N,01131.00000,E,1,08,0.98,545.4,M,47.0,M,,*5C
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::emulator {

// XOR of the characters between '$' and '*'.
std::uint8_t NmeaChecksum(std::string_view body);

// Appends "$" body "*hh" CR LF.
void AppendSentence(std::vector<std::uint8_t>& out, std::string_view body);

// "ddmm.mmmmm" (degrees 2 digits) or "dddmm.mmmmm" (3 digits) of |degrees|.
std::string NmeaAngle(double degrees, int degree_digits);

// "hhmmss.ss" and "ddmmyy" of a Unix time in milliseconds (UTC).
std::string NmeaTime(std::int64_t unix_ms);
std::string NmeaDate(std::int64_t unix_ms);

}  // namespace ostrel::emulator
