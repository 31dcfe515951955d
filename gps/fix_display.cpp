#include "gps/fix_display.h"

#include <charconv>

namespace ostrel {

namespace {

void WriteNumberCell(FixView& view, int row, int col, int32_t value) {
  char text[16];
  const auto result = std::to_chars(text, text + sizeof text, value);
  view.SetSatCell(row, col, std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
}

}  // namespace

void UpdateFixDisplay(const TGPS& gps, FixView& view) {
  view.SetFixTexts(gps.FixModeText, gps.LatitudeText, gps.LongitudeText, gps.ElevationText,
                   gps.SpeedText);

  int row = kSatGridFirstRow;
  // The grid has 12 rows: satellites of several constellations beyond them are left out
  // (the sky plot still shows them).
  for (int prn = 1; prn <= kMaxSatId && row <= kSatGridLastRow; ++prn) {
    const TSatellite& sat = gps.Sat[static_cast<std::size_t>(prn)];
    if (!sat.Used) continue;
    WriteNumberCell(view, row, 0, prn);
    WriteNumberCell(view, row, 1, sat.Elevation);
    WriteNumberCell(view, row, 2, sat.Azimuth);
    WriteNumberCell(view, row, 3, sat.SNR);
    ++row;
  }
  for (; row <= kSatGridLastRow; ++row) {
    for (int col = 0; col < kSatGridColumns; ++col) view.SetSatCell(row, col, {});
  }
}

}  // namespace ostrel
