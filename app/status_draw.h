#pragma once
// The Receiver Status window's two pictures, drawn with QPainter in device pixels so they
// stay sharp at any screen scale (as the sky plot is): the signal chart, one bar of C/N0
// per satellite in view, and the accuracy scatter with its CEP circles.
//
// The geometry is computed apart from the painting, so tests can find each bar and circle
// at its pixels.
#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <vector>

#include "engine/position_accuracy.h"
#include "engine/receiver_health.h"

class QImage;
class QPainter;

namespace ostrel {

// The colour of each constellation's bars.
QColor ConstellationColor(Constellation c);

// The chart's C/N0 axis runs from 0 to this, dB-Hz.
inline constexpr int kChartTopCn0 = 60;

// Where bar `index` of `count` stands on a chart of `logical` size at `scale` device
// pixels per logical pixel, for a signal of `cn0` dB-Hz (none or below 1 dB-Hz gives a
// bar one pixel high, so an untracked satellite still shows). Device pixels.
QRect BarRect(int index, int count, int cn0, QSize logical, double scale);

// The whole chart on a device-pixel surface of logical * scale.
void DrawSignalChart(QPainter& painter, QSize logical, const std::vector<SatelliteInView>& sats,
                     double scale);

// The scatter's frame of reference: its centre and how many device pixels a metre takes.
struct ScatterScale {
  QPoint centre;
  double pixels_per_metre = 1;
  double range = 1;  // metres from the centre to the edge of the plotting area
};
// A range of 1, 2 or 5 times a power of ten that holds every point and the CEP95 circle.
ScatterScale ScatterFrame(QSize logical, const AccuracyFigures& f, double scale);
QPoint ScatterPixel(const ScatterScale& frame, const PlanePoint& p);
int CircleRadius(const ScatterScale& frame, double metres);

void DrawScatter(QPainter& painter, QSize logical, const AccuracyFigures& f, double scale);

// A white image of logical * scale device pixels with that pixel ratio, for a widget to
// draw into and blit.
QImage NewStatusImage(QSize logical, double scale);

}  // namespace ostrel
