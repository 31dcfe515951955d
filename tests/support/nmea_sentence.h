#pragma once
// A NMEA sentence made from its body: "$" body "*hh" CR LF with the checksum it needs.
#include <string>

namespace ostrel::test {

inline std::string WithChecksum(const std::string& body) {
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  static const char* hex = "0123456789ABCDEF";
  return "$" + body + "*" + hex[x >> 4] + hex[x & 15] + "\r\n";
}

}  // namespace ostrel::test
