#include "app/status_draw.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <cmath>

namespace ostrel {

namespace {

// Chart margins in logical pixels: the axis labels left, the satellite numbers below.
constexpr int kLeft = 28;
constexpr int kRight = 6;
constexpr int kTop = 8;
constexpr int kBottom = 30;
// Bars stand this far apart at most; with many satellites they close up.
constexpr double kMaxPitch = 22;
constexpr int kScatterMargin = 14;
constexpr int kLabelPixelSize = 10;

const QColor kAxis(90, 90, 90);
const QColor kGrid(225, 225, 225);
const QColor kCep50(0, 0, 220);
const QColor kCep95(220, 0, 0);
const QColor kPoint(0, 0, 0);

int Px(double logical, double scale) { return static_cast<int>(std::lround(logical * scale)); }

int PenWidth(double scale) { return std::max(1, Px(1, scale)); }

QFont LabelFont(double scale) {
  QFont font;
  font.setPixelSize(std::max(1, Px(kLabelPixelSize, scale)));
  return font;
}

struct Plot {
  int left, top, right, bottom;  // device pixels, right and bottom exclusive
};

Plot ChartPlot(QSize logical, double scale) {
  return {Px(kLeft, scale), Px(kTop, scale), Px(logical.width() - kRight, scale),
          Px(logical.height() - kBottom, scale)};
}

}  // namespace

QColor ConstellationColor(Constellation c) {
  switch (c) {
    case Constellation::kGps:
      return {0, 90, 200};
    case Constellation::kSbas:
      return {110, 110, 110};
    case Constellation::kGlonass:
      return {200, 30, 30};
    case Constellation::kGalileo:
      return {0, 140, 60};
    case Constellation::kBeiDou:
      return {220, 120, 0};
    case Constellation::kQzss:
      return {140, 50, 180};
  }
  return {0, 0, 0};
}

QRect BarRect(int index, int count, int cn0, QSize logical, double scale) {
  const Plot p = ChartPlot(logical, scale);
  const double pitch =
      std::min(kMaxPitch * scale, static_cast<double>(p.right - p.left) / std::max(count, 1));
  const int left = p.left + static_cast<int>(std::floor(pitch * index + pitch / 6));
  const int width = std::max(1, static_cast<int>(std::floor(pitch * 2 / 3)));
  const int height = p.bottom - p.top;
  const int clipped = std::clamp(cn0, 0, kChartTopCn0);
  const int bar = std::max(
      1, static_cast<int>(std::lround(static_cast<double>(height) * clipped / kChartTopCn0)));
  return {left, p.bottom - bar, width, bar};
}

void DrawSignalChart(QPainter& painter, QSize logical, const std::vector<SatelliteInView>& sats,
                     double scale) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  painter.setFont(LabelFont(scale));
  const Plot p = ChartPlot(logical, scale);
  // Grid every 10 dB-Hz with its label.
  for (int db = 0; db <= kChartTopCn0; db += 10) {
    const int y = p.bottom - (p.bottom - p.top) * db / kChartTopCn0;
    painter.fillRect(QRect(p.left, y, p.right - p.left, PenWidth(scale)), db == 0 ? kAxis : kGrid);
    painter.setPen(kAxis);
    painter.drawText(QRect(0, y - Px(6, scale), p.left - Px(3, scale), Px(12, scale)),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(db));
  }
  const int count = static_cast<int>(sats.size());
  for (int i = 0; i < count; ++i) {
    const SatelliteInView& s = sats[static_cast<std::size_t>(i)];
    const QRect bar = BarRect(i, count, s.cn0, logical, scale);
    const QColor colour = ConstellationColor(s.system);
    // Used satellites filled, those only in view hollow.
    if (s.used) {
      painter.fillRect(bar, colour);
    } else {
      const int w = PenWidth(scale);
      painter.fillRect(QRect(bar.left(), bar.top(), bar.width(), w), colour);
      painter.fillRect(QRect(bar.left(), bar.bottom() - w + 1, bar.width(), w), colour);
      painter.fillRect(QRect(bar.left(), bar.top(), w, bar.height()), colour);
      painter.fillRect(QRect(bar.right() - w + 1, bar.top(), w, bar.height()), colour);
    }
    // The number under the bar, turned when bars are narrow.
    painter.setPen(colour);
    painter.save();
    painter.translate(bar.center().x(), p.bottom + Px(3, scale));
    painter.rotate(90);
    painter.drawText(QRect(0, -Px(6, scale), Px(kBottom - 4, scale), Px(12, scale)),
                     Qt::AlignLeft | Qt::AlignVCenter, QString::number(s.id));
    painter.restore();
  }
  painter.restore();
}

ScatterScale ScatterFrame(QSize logical, const AccuracyFigures& f, double scale) {
  double extent = f.cep95;
  for (const PlanePoint& p : f.scatter)
    extent = std::max({extent, std::fabs(p.east), std::fabs(p.north)});
  double range = 1;
  for (double decade = 1; range < extent; decade *= 10) {
    for (const double step : {1.0, 2.0, 5.0}) {
      range = step * decade;
      if (range >= extent) break;
    }
  }
  const int side = std::min(logical.width(), logical.height());
  const double radius = (side / 2.0 - kScatterMargin) * scale;
  return {QPoint(Px(logical.width() / 2.0, scale), Px(logical.height() / 2.0, scale)),
          radius / range, range};
}

QPoint ScatterPixel(const ScatterScale& frame, const PlanePoint& p) {
  return {frame.centre.x() + static_cast<int>(std::lround(p.east * frame.pixels_per_metre)),
          frame.centre.y() - static_cast<int>(std::lround(p.north * frame.pixels_per_metre))};
}

int CircleRadius(const ScatterScale& frame, double metres) {
  return static_cast<int>(std::lround(metres * frame.pixels_per_metre));
}

void DrawScatter(QPainter& painter, QSize logical, const AccuracyFigures& f, double scale) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setFont(LabelFont(scale));
  const ScatterScale frame = ScatterFrame(logical, f, scale);
  const int w = PenWidth(scale);
  const int reach = CircleRadius(frame, frame.range);
  const QPoint c = frame.centre;
  // Cross hairs through the reference, and the range at their end.
  painter.fillRect(QRect(c.x() - reach, c.y(), 2 * reach + 1, w), kGrid);
  painter.fillRect(QRect(c.x(), c.y() - reach, w, 2 * reach + 1), kGrid);
  painter.setPen(kAxis);
  painter.drawText(
      QRect(c.x() + Px(2, scale), c.y() - reach - Px(13, scale), Px(80, scale), Px(12, scale)),
      Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("N %1 m").arg(frame.range, 0, 'g', 3));
  const int half = std::max(1, Px(1, scale));
  for (const PlanePoint& p : f.scatter) {
    const QPoint at = ScatterPixel(frame, p);
    painter.fillRect(QRect(at.x() - half, at.y() - half, 2 * half + 1, 2 * half + 1), kPoint);
  }
  if (f.count > 0) {
    for (const auto& [metres, colour] : {std::pair{f.cep50, kCep50}, std::pair{f.cep95, kCep95}}) {
      const int r = CircleRadius(frame, metres);
      painter.setPen(QPen(colour, w));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(c, r, r);
    }
  }
  painter.restore();
}

QImage NewStatusImage(QSize logical, double scale) {
  QImage image(Px(logical.width(), scale), Px(logical.height(), scale), QImage::Format_RGB32);
  image.fill(Qt::white);
  return image;
}

}  // namespace ostrel
