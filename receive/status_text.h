#pragma once
// The status line built from the receiver's UBX NAV-SOL and NAV-SBAS messages, e.g.
// "Connected, 3D Fix, WAAS, No DGPS, 7 SVs". Composed in a fixed buffer: no allocation
// in the tick.
#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel {

class TGPS;

// The longest text: "Connected, GPS+DR, WAAS, No DGPS, -2147483648 SVs" (50 bytes).
inline constexpr std::size_t kStatusTextSize = 64;
using StatusTextBuffer = std::array<char, kStatusTextSize>;

std::string_view FormatStatusText(StatusTextBuffer& out, int32_t fix_type, bool waas_active,
                                  int32_t dgps_state, int32_t sv_count);
std::string_view FormatStatusText(StatusTextBuffer& out, const TGPS& gps);

}  // namespace ostrel
