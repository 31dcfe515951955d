#pragma once
// The sky plot: the used satellites as a polar chart seen from above, north up, one
// pixel per degree of zenith distance, with a red ring at the elevation mask.
//
// The window owns SatBitmap (NewSatBitmap) and the paint box SatLoc. Its SatLocDraw is
//   RedrawSkyPlot(SatBitmap, Mask_Angle text, receiver); then repaint SatLoc,
// and SatLocPaint only copies SatBitmap at (0, 0). A MaskAngleError leaves SatLocDraw
// for the receive cycle's trap, with the previous picture still in the bitmap.
#include <array>
#include <cstdint>
#include <string>

#include "gps/tgps.h"
#include "platform/error.h"

class QImage;
class QPainter;

namespace ostrel {

// Mask_Angle holds text that is not a number.
class MaskAngleError : public Error {
 public:
  using Error::Error;
};

inline constexpr int kSatBitmapSize = 250;

// Turns azimuth/elevation (degrees) into a point; x and y hold the centre on entry.
// Elevation 90 is the centre, 0 the 90-pixel ring (`scale` pixels per degree on a
// screen of that pixel ratio); values far outside saturate rather than overflow.
void SkyToXY(int& x, int& y, double azimuth, double elevation, double scale = 1.0);

// The mask ring's radius in pixels for the text of Mask_Angle: 90 when empty, else
// 90 - m for the number truncated toward zero to m. The number is read strictly in the
// application's default locale (the system's unless changed): the whole text, blanks
// around it allowed, locale decimal separator, no group separators. Anything else, or
// a value whose radius does not fit an int, raises MaskAngleError.
int MaskRadius(const std::string& text);

// Paints the whole chart on `painter` for a size x size surface of device pixels, its
// geometry (rings, markers, labels) scaled by `scale`, the screen's pixel ratio, so a
// high-density screen gets it sharp. Boxes follow the GDI rule (right and bottom edges
// exclusive) and are rasterised here, pixel for pixel, with no antialiasing. A ring of
// radius 0 or less is not drawn.
void DrawSkyPlot(QPainter& painter, int size, int maskRadius, const TGPS& gps, double scale = 1.0);

// SatLocDraw's work: the radius first (so a bad mask angle raises before any pixel
// changes), then the whole bitmap repainted at its own width in device pixels, scaled by
// its pixel ratio. A null bitmap is left as it is.
void RedrawSkyPlot(QImage& bitmap, const std::string& maskText, const TGPS& gps);

// Everything the chart's pixels depend on: the surface, the mask ring and where the used
// satellites stand. Equal keys draw equal pictures, so a fix that only moves the
// position or the speed need not repaint the chart.
struct SkyPlotKey {
  int width = 0;
  int height = 0;
  int mask_radius = 0;
  // Per table number, every constellation the chart draws: used, azimuth, elevation.
  // The SNR is not drawn.
  std::array<std::array<int32_t, 3>, kMaxSatId + 1> sats{};
  bool operator==(const SkyPlotKey&) const = default;
};

// RedrawSkyPlot when the chart would differ from `shown` (what the bitmap holds; reset it
// to force a redraw); true when it drew. A bad mask angle raises as RedrawSkyPlot does.
bool RedrawSkyPlotIfChanged(QImage& bitmap, const std::string& maskText, const TGPS& gps,
                            SkyPlotKey& shown);

// A white bitmap for SatBitmap: 250 x 250 at pixel ratio 1, as many device pixels as
// 250 x 250 take on a screen of `pixel_ratio`.
QImage NewSatBitmap(double pixel_ratio = 1.0);

}  // namespace ostrel
