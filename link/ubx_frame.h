#pragma once
// The UBX frame on the wire, as the receiver's maker publishes it:
//   B5 62 | class | id | length (u16 LE) | payload | CK_A CK_B
// CK_A/CK_B are the 8-bit Fletcher sums over class, id, length and payload. The link needs
// no more than this to keep a frame whole while it arrives; the messages themselves are the
// receiver's business (receiver/ubx.h).
#include <cstddef>
#include <cstdint>

namespace ostrel::ubx {

inline constexpr std::uint8_t kSync1 = 0xB5;
inline constexpr std::uint8_t kSync2 = 0x62;
inline constexpr std::size_t kOverhead = 8;  // sync, class, id, length, checksum

struct Checksum {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  bool operator==(const Checksum&) const = default;
};

// Fletcher sum over `bytes`, byte by byte.
constexpr Checksum Fletcher(const std::uint8_t* bytes, std::size_t n) {
  Checksum ck;
  for (std::size_t i = 0; i < n; ++i) {
    ck.a = static_cast<std::uint8_t>(ck.a + bytes[i]);
    ck.b = static_cast<std::uint8_t>(ck.b + ck.a);
  }
  return ck;
}

}  // namespace ostrel::ubx
