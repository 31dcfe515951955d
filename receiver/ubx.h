#pragma once
// The UBX messages the panel sends and reads; the framing itself is in link/ubx_frame.h.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/ubx_frame.h"

namespace ostrel::ubx {

inline constexpr std::uint8_t kClassNav = 0x01;
inline constexpr std::uint8_t kClassAck = 0x05;
inline constexpr std::uint8_t kClassCfg = 0x06;
inline constexpr std::uint8_t kIdNavSol = 0x06;
inline constexpr std::uint8_t kIdNavSbas = 0x32;
inline constexpr std::uint8_t kIdAckAck = 0x01;
inline constexpr std::uint8_t kIdCfgPrt = 0x00;
inline constexpr std::uint8_t kIdCfgMsg = 0x01;
inline constexpr std::uint8_t kIdCfgRst = 0x04;
inline constexpr std::uint8_t kIdCfgSbas = 0x16;

// A whole frame for the given class, id and payload, checksum included.
std::vector<std::uint8_t> MakeFrame(std::uint8_t cls, std::uint8_t id,
                                    std::span<const std::uint8_t> payload);

// What a restart makes the receiver forget: a cold start loses every navigation datum
// (ephemeris, almanac, position, time, ...), a warm start the ephemeris alone, a hot start
// nothing.
enum class RestartKind { kCold, kWarm, kHot };

// CFG-RST for a restart of `kind`, built field by field:
//   navBbrMask (U2): the battery-backed data to clear, by the kind
//   resetMode  (U1): 0x02, a controlled software reset of the GPS part only, which keeps
//                    the port, its baud rate and the module's link as they are
//   reserved1  (U1): 0
// Cold: B5 62 06 04 04 00 FF FF 02 00 0E 61.
std::vector<std::uint8_t> CfgRst(RestartKind kind);

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
