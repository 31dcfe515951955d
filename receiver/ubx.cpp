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

}  // namespace ostrel::ubx
