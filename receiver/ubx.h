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
inline constexpr std::uint8_t kIdCfgSbas = 0x16;

// A whole frame for the given class, id and payload, checksum included.
std::vector<std::uint8_t> MakeFrame(std::uint8_t cls, std::uint8_t id,
                                    std::span<const std::uint8_t> payload);

// A whole frame built at compile time from its payload, checksum included.
template <std::size_t N>
constexpr std::array<std::uint8_t, N + kOverhead> Frame(
    std::uint8_t cls, std::uint8_t id, const std::array<std::uint8_t, N>& payload) {
  std::array<std::uint8_t, N + kOverhead> frame{kSync1,
                                                kSync2,
                                                cls,
                                                id,
                                                static_cast<std::uint8_t>(N & 0xFF),
                                                static_cast<std::uint8_t>(N >> 8)};
  for (std::size_t i = 0; i < N; ++i) frame[6 + i] = payload[i];
  const Checksum ck = Fletcher(frame.data() + 2, N + 4);
  frame[N + 6] = ck.a;
  frame[N + 7] = ck.b;
  return frame;
}

// Little-endian fields, as every UBX payload holds them.
template <std::size_t N>
constexpr void PutLE(std::array<std::uint8_t, N>& out, std::size_t at, std::uint32_t value,
                     std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// CFG-PRT as the Antaris generation takes it: one port's character frame, rate and
// protocols.
struct CfgPrt {
  std::uint8_t port;            // 1: UART1, the port behind the module's firmware
  std::uint32_t mode;           // character frame
  std::uint32_t baud;           // bits per second
  std::uint16_t in_protocols;   // protocol mask: bit 0 UBX, bit 1 NMEA
  std::uint16_t out_protocols;  // the same for what the receiver sends
  std::uint16_t flags;
};
inline constexpr std::uint32_t kMode8N1 = 0x08C0;  // 8 data bits, no parity, 1 stop bit
inline constexpr std::uint16_t kProtoUbx = 0x0001;
inline constexpr std::uint16_t kProtoNmea = 0x0002;

constexpr std::array<std::uint8_t, 20> Payload(const CfgPrt& f) {
  std::array<std::uint8_t, 20> p{};
  PutLE(p, 0, f.port, 1);  // then a reserved byte and a reserved u16
  PutLE(p, 4, f.mode, 4);
  PutLE(p, 8, f.baud, 4);
  PutLE(p, 12, f.in_protocols, 2);
  PutLE(p, 14, f.out_protocols, 2);
  PutLE(p, 16, f.flags, 2);  // then a reserved u16
  return p;
}

// CFG-SBAS: whether SBAS is used, for what, and which satellites are searched.
struct CfgSbas {
  std::uint8_t mode;        // bit 0: SBAS on
  std::uint8_t usage;       // bit 0 ranging, bit 1 differential corrections, bit 2 integrity
  std::uint8_t max_sbas;    // channels searched for SBAS satellites at once
  std::uint32_t scan_prns;  // bit n searches PRN 120 + n; 0 searches every one
};
inline constexpr std::uint8_t kSbasEnabled = 0x01;
inline constexpr std::uint8_t kSbasUseAll = 0x07;  // ranging, corrections, integrity

constexpr std::array<std::uint8_t, 8> Payload(const CfgSbas& f) {
  std::array<std::uint8_t, 8> p{};
  PutLE(p, 0, f.mode, 1);
  PutLE(p, 1, f.usage, 1);
  PutLE(p, 2, f.max_sbas, 1);  // then a reserved byte
  PutLE(p, 4, f.scan_prns, 4);
  return p;
}

// CFG-MSG: how often one message is sent, per solution, on each of the four ports.
struct CfgMsg {
  std::uint8_t msg_class;
  std::uint8_t msg_id;
  std::array<std::uint8_t, 4> rates;  // 0: off; n: once every n solutions
};

constexpr std::array<std::uint8_t, 6> Payload(const CfgMsg& f) {
  return {f.msg_class, f.msg_id, f.rates[0], f.rates[1], f.rates[2], f.rates[3]};
}

template <typename Fields>
constexpr auto CfgFrame(std::uint8_t id, const Fields& fields) {
  return Frame(kClassCfg, id, Payload(fields));
}

// The six command frames the panel sends.
inline constexpr CfgPrt kPrtFields9600 = {
    1, kMode8N1, 9600, kProtoUbx | kProtoNmea, kProtoUbx | kProtoNmea, 0};
inline constexpr CfgPrt kPrtFields19200 = {
    1, kMode8N1, 19200, kProtoUbx | kProtoNmea, kProtoUbx | kProtoNmea, 0};
// Two channels, searching PRN 122 and 134 (bits 2 and 14).
inline constexpr CfgSbas kSbasFieldsOn = {kSbasEnabled, kSbasUseAll, 2, 0x4004};
inline constexpr CfgSbas kSbasFieldsOff = {0, kSbasUseAll, 2, 0x4004};
// Once per solution on the first three ports, not on the fourth.
inline constexpr CfgMsg kMsgFieldsNavSol = {kClassNav, kIdNavSol, {1, 1, 1, 0}};
inline constexpr CfgMsg kMsgFieldsNavSbas = {kClassNav, kIdNavSbas, {1, 1, 1, 0}};

inline constexpr auto kCfgPrt9600 = CfgFrame(kIdCfgPrt, kPrtFields9600);
inline constexpr auto kCfgPrt19200 = CfgFrame(kIdCfgPrt, kPrtFields19200);
inline constexpr auto kSbasOn = CfgFrame(kIdCfgSbas, kSbasFieldsOn);
inline constexpr auto kSbasOff = CfgFrame(kIdCfgSbas, kSbasFieldsOff);
inline constexpr auto kEnableNavSol = CfgFrame(kIdCfgMsg, kMsgFieldsNavSol);
inline constexpr auto kEnableNavSbas = CfgFrame(kIdCfgMsg, kMsgFieldsNavSbas);

}  // namespace ostrel::ubx
