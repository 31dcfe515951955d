#pragma once
// UBX framing as the receiver's maker publishes it:
//   B5 62 | class | id | length (u16 LE) | payload | CK_A CK_B
// CK_A/CK_B are the 8-bit Fletcher sums over class, id, length and payload.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::ubx {

inline constexpr std::uint8_t kSync1 = 0xB5;
inline constexpr std::uint8_t kSync2 = 0x62;
inline constexpr std::size_t kOverhead = 8;  // sync, class, id, length, checksum

inline constexpr std::uint8_t kClassNav = 0x01;
inline constexpr std::uint8_t kClassAck = 0x05;
inline constexpr std::uint8_t kClassCfg = 0x06;
inline constexpr std::uint8_t kIdNavSol = 0x06;
inline constexpr std::uint8_t kIdNavSbas = 0x32;
inline constexpr std::uint8_t kIdAckAck = 0x01;
inline constexpr std::uint8_t kIdCfgPrt = 0x00;
inline constexpr std::uint8_t kIdCfgMsg = 0x01;
inline constexpr std::uint8_t kIdCfgSbas = 0x16;

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

// A whole frame for the given class, id and payload, checksum included.
std::vector<std::uint8_t> MakeFrame(std::uint8_t cls, std::uint8_t id,
                                    std::span<const std::uint8_t> payload);

// The six command frames, stored complete with their checksums.
inline constexpr std::array<std::uint8_t, 28> kCfgPrt9600 = {
    0xB5, 0x62, 0x06, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0xC0, 0x08, 0x00, 0x00,
    0x80, 0x25, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8E, 0x95};
inline constexpr std::array<std::uint8_t, 28> kCfgPrt19200 = {
    0xB5, 0x62, 0x06, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0xC0, 0x08, 0x00, 0x00,
    0x00, 0x4B, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x37};
inline constexpr std::array<std::uint8_t, 16> kSbasOn = {
    0xB5, 0x62, 0x06, 0x16, 0x08, 0x00, 0x01, 0x07, 0x02, 0x00, 0x04, 0x40, 0x00, 0x00, 0x72, 0x9F};
inline constexpr std::array<std::uint8_t, 16> kSbasOff = {
    0xB5, 0x62, 0x06, 0x16, 0x08, 0x00, 0x00, 0x07, 0x02, 0x00, 0x04, 0x40, 0x00, 0x00, 0x71, 0x97};
inline constexpr std::array<std::uint8_t, 14> kEnableNavSol = {
    0xB5, 0x62, 0x06, 0x01, 0x06, 0x00, 0x01, 0x06, 0x01, 0x01, 0x01, 0x00, 0x17, 0xA2};
inline constexpr std::array<std::uint8_t, 14> kEnableNavSbas = {
    0xB5, 0x62, 0x06, 0x01, 0x06, 0x00, 0x01, 0x32, 0x01, 0x01, 0x01, 0x00, 0x43, 0x7E};

}  // namespace ostrel::ubx
