#include "receiver/ubx.h"

namespace ostrel::ubx {

std::vector<std::uint8_t> MakeFrame(std::uint8_t cls, std::uint8_t id,
                                    std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> frame;
  frame.reserve(payload.size() + kOverhead);
  frame.push_back(kSync1);
  frame.push_back(kSync2);
  frame.push_back(cls);
  frame.push_back(id);
  frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  frame.insert(frame.end(), payload.begin(), payload.end());
  const Checksum ck = Fletcher(frame.data() + 2, frame.size() - 2);
  frame.push_back(ck.a);
  frame.push_back(ck.b);
  return frame;
}

std::vector<std::uint8_t> CfgRst(RestartKind kind) {
  constexpr std::uint16_t kClearAll = 0xFFFF;
  constexpr std::uint16_t kClearEphemeris = 0x0001;
  constexpr std::uint16_t kClearNothing = 0x0000;
  constexpr std::uint8_t kGpsSoftwareReset = 0x02;
  std::uint16_t nav_bbr_mask = kClearNothing;
  if (kind == RestartKind::kCold) nav_bbr_mask = kClearAll;
  if (kind == RestartKind::kWarm) nav_bbr_mask = kClearEphemeris;
  const std::array<std::uint8_t, 4> payload = {static_cast<std::uint8_t>(nav_bbr_mask & 0xFF),
                                               static_cast<std::uint8_t>(nav_bbr_mask >> 8),
                                               kGpsSoftwareReset, 0};
  return MakeFrame(kClassCfg, kIdCfgRst, payload);
}

}  // namespace ostrel::ubx
