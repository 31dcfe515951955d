#include "gps/sky_plot_draw.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QPaintDevice>
#include <QPainter>
#include <QRect>
#include <QString>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace ostrel {

namespace {

constexpr int kHorizonRadius = 90;
constexpr int kHalfwayRadius = 45;
constexpr int kMarkerHalf = 3;
constexpr int kLabelOffset = 5;
// Near the 8 pt system font the chart was laid out for; the face is the default one.
constexpr int kLabelPixelSize = 11;
// SkyToXY saturates here: far outside any bitmap, far from int overflow.
constexpr double kFarAway = 1 << 29;
// Ellipse boxes are rasterised with 64-bit products of their sides; a side beyond this
// would overflow them, and could only belong to a ring that misses the surface anyway.
constexpr std::int64_t kMaxBoxSide = 1 << 15;

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);

// A box as GDI takes it: left, top, right, bottom, right and bottom exclusive.
struct Box {
  int left, top, right, bottom;
};

struct Span {
  std::int64_t lo, hi;  // inclusive; empty when lo > hi
  bool Empty() const { return lo > hi; }
};

// Pixels of row y whose centres lie inside the ellipse inscribed in `box`. Coordinates
// are doubled so that the half-pixel centre of an even box stays an integer and the test
// is exact: X^2 B^2 + Y^2 A^2 <= A^2 B^2, with A, B the box sides.
Span EllipseRow(const Box& box, std::int64_t y) {
  constexpr Span kEmpty{1, 0};
  const std::int64_t a = std::int64_t{box.right} - box.left;
  const std::int64_t b = std::int64_t{box.bottom} - box.top;
  if (y < box.top || y >= box.bottom) return kEmpty;
  const std::int64_t sum_x = std::int64_t{box.left} + box.right - 1;
  const std::int64_t big_y = 2 * y - (std::int64_t{box.top} + box.bottom - 1);
  const std::int64_t rhs = a * a * (b * b - big_y * big_y);
  auto fits = [&](std::int64_t big_x) { return big_x * big_x * b * b <= rhs; };
  auto big_x =
      static_cast<std::int64_t>(std::sqrt(static_cast<double>(rhs)) / static_cast<double>(b));
  while (fits(big_x + 1)) ++big_x;
  while (big_x > 0 && !fits(big_x)) --big_x;
  if (((big_x ^ sum_x) & 1) != 0) --big_x;  // X = 2x - sum_x has the parity of sum_x
  if (big_x < 0) return kEmpty;
  return {(sum_x - big_x) / 2, (sum_x + big_x) / 2};
}

void FillSpan(QPainter& painter, const QRect& clip, std::int64_t y, std::int64_t lo,
              std::int64_t hi, const QColor& colour) {
  lo = std::max<std::int64_t>(lo, clip.left());
  hi = std::min<std::int64_t>(hi, clip.right());
  if (lo > hi) return;
  painter.fillRect(
      QRect(static_cast<int>(lo), static_cast<int>(y), static_cast<int>(hi - lo + 1), 1), colour);
}

// GDI's Ellipse with a 1-pixel pen: the outline is the ring of pixels of the filled
// shape that touch its outside; the fill, when given, is the rest. Symmetric, as GDI's
// are, which QPainter's Bezier-built ellipses are not quite.
void DrawEllipse(QPainter& painter, const QRect& clip, const Box& box, const QColor& pen,
                 const QColor* fill) {
  const std::int64_t a = std::int64_t{box.right} - box.left;
  const std::int64_t b = std::int64_t{box.bottom} - box.top;
  if (a <= 0 || b <= 0 || a > kMaxBoxSide || b > kMaxBoxSide) return;
  const std::int64_t first = std::max<std::int64_t>(box.top, clip.top());
  const std::int64_t last = std::min<std::int64_t>(std::int64_t{box.bottom} - 1, clip.bottom());
  for (std::int64_t y = first; y <= last; ++y) {
    const Span row = EllipseRow(box, y);
    if (row.Empty()) continue;
    const Span above = EllipseRow(box, y - 1);
    const Span below = EllipseRow(box, y + 1);
    Span inner{1, 0};
    if (!above.Empty() && !below.Empty()) {
      inner = {std::max({row.lo + 1, above.lo, below.lo}),
               std::min({row.hi - 1, above.hi, below.hi})};
    }
    if (inner.Empty()) {
      FillSpan(painter, clip, y, row.lo, row.hi, pen);
      continue;
    }
    FillSpan(painter, clip, y, row.lo, inner.lo - 1, pen);
    FillSpan(painter, clip, y, inner.hi + 1, row.hi, pen);
    if (fill != nullptr) FillSpan(painter, clip, y, inner.lo, inner.hi, *fill);
  }
}

// GDI's Rectangle with a 1-pixel pen and no brush: the border pixels of the box.
void DrawFrame(QPainter& painter, const Box& box, const QColor& pen) {
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  if (width <= 0 || height <= 0) return;
  painter.fillRect(QRect(box.left, box.top, width, 1), pen);
  painter.fillRect(QRect(box.left, box.bottom - 1, width, 1), pen);
  painter.fillRect(QRect(box.left, box.top, 1, height), pen);
  painter.fillRect(QRect(box.right - 1, box.top, 1, height), pen);
}

void DrawRing(QPainter& painter, const QRect& clip, int c, int radius, const QColor& pen) {
  // A mask angle of 90 or more gives no ring at all.
  if (radius <= 0) return;
  // Beyond twice the surface a ring touches none of it.
  const int reach = std::max({c, clip.right(), clip.bottom()});
  if (radius > 2 * reach + 2) return;
  DrawEllipse(painter, clip, {c - radius, c - radius, c + radius, c + radius}, pen, nullptr);
}

// GDI's TextOut aligns the top of the character cell with y; QPainter wants a baseline.
void DrawLabel(QPainter& painter, int left, int top, const QString& text) {
  painter.drawText(QPoint(left, top + painter.fontMetrics().ascent()), text);
}

int Saturate(double value) { return static_cast<int>(std::clamp(value, -kFarAway, kFarAway)); }

}  // namespace

void SkyToXY(int& x, int& y, double azimuth, double elevation, double scale) {
  const double t = (90.0 - azimuth) * std::numbers::pi * (1.0 / 180.0);
  const double r = (90.0 - elevation) * scale;
  double dx = std::trunc(std::cos(t) * r);
  double dy = std::trunc(std::sin(t) * r);
  if (std::isnan(dx)) dx = 0;
  if (std::isnan(dy)) dy = 0;
  x = Saturate(x + dx);
  y = Saturate(y - dy);
}

int MaskRadius(const std::string& text) {
  if (text.empty()) return kHorizonRadius;
  QLocale locale;
  locale.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
  bool ok = false;
  const double value = locale.toDouble(QString::fromStdString(text), &ok);
  if (!ok || !std::isfinite(value)) throw MaskAngleError("Mask angle is not a number: " + text);
  const double radius = kHorizonRadius - std::trunc(value);
  if (radius < INT_MIN || radius > INT_MAX)
    throw MaskAngleError("Mask angle out of range: " + text);
  return static_cast<int>(radius);
}

void DrawSkyPlot(QPainter& painter, int size, int maskRadius, const TGPS& gps, double scale) {
  painter.save();
  auto px = [scale](double length) { return static_cast<int>(std::lround(length * scale)); };
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, false);
  const QPaintDevice* device = painter.device();
  const QRect clip =
      device != nullptr ? QRect(0, 0, device->width(), device->height()) : QRect(0, 0, size, size);
  const int c = size / 2;

  painter.fillRect(QRect(0, 0, size, size), kWhite);

  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(kBlack, 0));
  painter.setBackgroundMode(Qt::TransparentMode);
  QFont font = painter.font();
  font.setPixelSize(std::max(1, px(kLabelPixelSize)));
  font.setStyleStrategy(QFont::NoAntialias);
  painter.setFont(font);

  const double mask = std::clamp(static_cast<double>(maskRadius) * scale, -kFarAway, kFarAway);
  DrawRing(painter, clip, c, static_cast<int>(std::lround(mask)), kRed);
  DrawRing(painter, clip, c, px(kHalfwayRadius), kBlack);
  DrawRing(painter, clip, c, px(kHorizonRadius), kBlack);
  DrawFrame(painter, {c, c - px(95), c + std::max(1, px(1)), c - px(90)}, kBlack);
  DrawLabel(painter, c + px(2), c - px(107), QStringLiteral("N"));
  DrawFrame(painter, {c, c, c + px(2), c + px(2)}, kBlack);

  for (int prn = 1; prn <= kMaxSatId; ++prn) {
    const TSatellite& sat = gps.Sat[static_cast<std::size_t>(prn)];
    if (!sat.Used) continue;
    int x = c;
    int y = c;
    SkyToXY(x, y, sat.Azimuth, sat.Elevation, scale);
    // Nonsense positions from a bad GSV are clipped; keep them away from the rasteriser.
    if (x < clip.left() - size || x > clip.right() + size || y < clip.top() - size ||
        y > clip.bottom() + size) {
      continue;
    }
    const int offset = px(kLabelOffset);
    const int half = px(kMarkerHalf);
    DrawLabel(painter, x + offset, y + offset, QString::number(prn));
    DrawEllipse(painter, clip, {x - half, y - half, x + half, y + half}, kBlack, &kGreen);
  }
  painter.restore();
}

void RedrawSkyPlot(QImage& bitmap, const std::string& maskText, const TGPS& gps) {
  const int radius = MaskRadius(maskText);
  if (bitmap.isNull()) return;
  // Painted pixel for pixel: a painter would scale by the bitmap's ratio on its own,
  // enlarging one-pixel lines; the geometry is scaled in the drawing instead.
  const qreal ratio = bitmap.devicePixelRatio();
  bitmap.setDevicePixelRatio(1);
  {
    QPainter painter(&bitmap);
    DrawSkyPlot(painter, bitmap.width(), radius, gps, ratio);
  }
  bitmap.setDevicePixelRatio(ratio);
}

bool RedrawSkyPlotIfChanged(QImage& bitmap, const std::string& maskText, const TGPS& gps,
                            SkyPlotKey& shown) {
  SkyPlotKey key;
  key.mask_radius = MaskRadius(maskText);
  if (bitmap.isNull()) return false;
  key.width = bitmap.width();
  key.height = bitmap.height();
  for (int prn = 1; prn <= kMaxSatId; ++prn) {
    const TSatellite& sat = gps.Sat[static_cast<std::size_t>(prn)];
    if (sat.Used) key.sats[static_cast<std::size_t>(prn)] = {1, sat.Azimuth, sat.Elevation};
  }
  if (key == shown) return false;
  RedrawSkyPlot(bitmap, maskText, gps);
  shown = key;
  return true;
}

QImage NewSatBitmap(double pixel_ratio) {
  const int side = static_cast<int>(std::lround(kSatBitmapSize * pixel_ratio));
  QImage bitmap(side, side, QImage::Format_RGB32);
  bitmap.setDevicePixelRatio(pixel_ratio);
  bitmap.fill(kWhite);
  return bitmap;
}

}  // namespace ostrel
