#pragma once
// An NMEA sentence from its body, for tests that build their own input.
#include <cstdio>
#include <string>
#include <string_view>

namespace ostrel::test {

// "$" body "*hh" CR LF with the checksum the body needs.
inline std::string NmeaSentence(std::string_view body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  std::string out = "$";
  out.append(body).append(tail);
  return out;
}

}  // namespace ostrel::test
