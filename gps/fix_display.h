#pragma once
// The fix display on the Settings page: the five fix labels and SatGrid, refreshed
// after ParseNMEA has applied something. The window implements FixView; after
// UpdateFixDisplay returns it redraws the sky plot itself (SatLocDraw), so this file
// needs no drawing code.
#include <cstdint>
#include <string>
#include <string_view>

#include "gps/tgps.h"

namespace ostrel {

// SatGrid: row 0 is the header written at start-up; rows 1..12 hold one satellite each.
inline constexpr int kSatGridColumns = 4;
inline constexpr int kSatGridFirstRow = 1;
inline constexpr int kSatGridLastRow = 12;

class FixView {
 public:
  virtual ~FixView() = default;
  // FixMode, Latitude, Longitude, Elevation (the altitude) and Speed, in that order.
  virtual void SetFixTexts(const std::string& mode, const std::string& latitude,
                           const std::string& longitude, const std::string& elevation,
                           const std::string& speed) = 0;
  // One SatGrid cell; the text is only valid during the call.
  virtual void SetSatCell(int row, int col, std::string_view text) = 0;
};

// Writes all five texts, then the used satellites in PRN order from row 1 (PRN,
// Elevation, Azimuth, SNR), then blanks the rest of rows up to 12. Every one of the 48
// cells is written each time, so rows left over from an earlier tick are cleared.
void UpdateFixDisplay(const TGPS& gps, FixView& view);

}  // namespace ostrel
