#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <climits>
#include <cmath>
#include <functional>
#include <string>

#include "gps/sky_plot_draw.h"

namespace ostrel {
namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 128, 0);

// ---- SkyToXY --------------------------------------------------------------------

struct XYCase {
  double azimuth, elevation;
  int x, y;
};

TEST(SkyToXY, Table) {
  const XYCase cases[] = {
      {0, 90, 125, 125},                        // zenith
      {0, 0, 125, 35},                          // north on the horizon
      {90, 0, 215, 125},                        // east
      {180, 0, 125, 215},                       // south
      {270, 0, 35, 125},                        // west
      {45, 45, 156, 94},                        // 45 x cos 45 = 31.8, truncated
      {135, 30, 167, 167}, {225, 30, 83, 167},  // -42.4 truncates toward zero, not down to -43
      {315, 10, 69, 69},   {0, -10, 125, 25},   // below the horizon: outside the 90 ring
      {360, 45, 125, 80},
  };
  for (const auto& c : cases) {
    int x = 125;
    int y = 125;
    SkyToXY(x, y, c.azimuth, c.elevation);
    EXPECT_EQ(x, c.x) << c.azimuth << "/" << c.elevation;
    EXPECT_EQ(y, c.y) << c.azimuth << "/" << c.elevation;
  }
}

TEST(SkyToXY, StartsFromTheGivenPoint) {
  int x = 10;
  int y = 20;
  SkyToXY(x, y, 90, 60);
  EXPECT_EQ(x, 40);
  EXPECT_EQ(y, 20);
}

TEST(SkyToXY, WildGsvValuesSaturateInsteadOfOverflowing) {
  int x = 125;
  int y = 125;
  SkyToXY(x, y, 0, static_cast<double>(INT_MIN));
  EXPECT_EQ(x, 125);
  EXPECT_LT(y, -100'000'000);
  x = 125;
  y = 125;
  SkyToXY(x, y, std::nan(""), 0);
  EXPECT_EQ(x, 125);
  EXPECT_EQ(y, 125);
}

// ---- MaskRadius -------------------------------------------------------------------

std::string Decimal(const std::string& whole, const std::string& fraction) {
  return whole + QString(QLocale().decimalPoint()).toStdString() + fraction;
}

TEST(MaskRadius, Numbers) {
  struct Case {
    std::string text;
    int radius;
  };
  const Case cases[] = {
      {"", 90},
      {"0", 90},
      {"10", 80},
      {"45", 45},
      {Decimal("12", "7"), 78},
      {Decimal("-12", "7"), 102},  // toward zero: -12, not -13
      {Decimal("89", "99"), 1},
      {"90", 0},
      {"100", -10},
      {" 5 ", 85},
      {"1e1", 80},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskRadius(c.text), c.radius) << '"' << c.text << '"';
}

TEST(MaskRadius, NotANumberRaises) {
  const std::string cases[] = {
      "abc",   "12abc", " ",   Decimal("1", Decimal("2", "3")) /* two separators */,
      "0x10",  "inf",   "nan", "1e20",
      "-1e20", "1,000", "--5",
  };
  for (const auto& text : cases) {
    EXPECT_THROW(MaskRadius(text), MaskAngleError) << '"' << text << '"';
  }
}

TEST(MaskRadius, FollowsTheLocaleDecimalSeparator) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(MaskRadius("12,7"), 78);
  EXPECT_THROW(MaskRadius("12.7"), MaskAngleError);
  QLocale::setDefault(saved);
}

// ---- The chart --------------------------------------------------------------------

QImage Plot(const TGPS& gps, const std::string& mask = "0") {
  QImage bitmap = NewSatBitmap();
  RedrawSkyPlot(bitmap, mask, gps);
  return bitmap;
}

double Distance(int x, int y) { return std::hypot(x - 124.5, y - 124.5); }

int Count(const QImage& image, QRgb colour, const std::function<bool(int, int)>& where = {}) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) == colour && (!where || where(x, y))) ++n;
    }
  }
  return n;
}

bool InRingBand(int x, int y, int radius) {
  const double d = Distance(x, y);
  return d > radius - 1 && d <= radius;
}

TEST(SkyPlot, EmptySkyHasBackgroundRingsTickAndDot) {
  const TGPS gps;
  const QImage image = Plot(gps);
  ASSERT_EQ(image.size(), QSize(250, 250));
  for (QPoint p :
       {QPoint(0, 0), QPoint(249, 0), QPoint(0, 249), QPoint(249, 249), QPoint(60, 200)}) {
    EXPECT_EQ(image.pixel(p), kWhite) << p.x() << "," << p.y();
  }
  // Centre dot: box (125, 125, 127, 127).
  for (QPoint p : {QPoint(125, 125), QPoint(126, 125), QPoint(125, 126), QPoint(126, 126)}) {
    EXPECT_EQ(image.pixel(p), kBlack);
  }
  EXPECT_EQ(image.pixel(124, 124), kWhite);
  EXPECT_EQ(image.pixel(127, 127), kWhite);
  // Horizon box (35, 35, 215, 215): 35 and 214 are its outer pixels, 215 is outside.
  EXPECT_EQ(image.pixel(35, 125), kBlack);
  EXPECT_EQ(image.pixel(34, 125), kWhite);
  EXPECT_EQ(image.pixel(214, 124), kBlack);
  EXPECT_EQ(image.pixel(215, 124), kWhite);
  EXPECT_EQ(image.pixel(125, 35), kBlack);
  EXPECT_EQ(image.pixel(124, 34), kWhite);
  EXPECT_EQ(image.pixel(125, 214), kBlack);
  EXPECT_EQ(image.pixel(125, 215), kWhite);
  // 45-degree box (80, 80, 170, 170).
  EXPECT_EQ(image.pixel(80, 125), kBlack);
  EXPECT_EQ(image.pixel(79, 125), kWhite);
  EXPECT_EQ(image.pixel(169, 125), kBlack);
  EXPECT_EQ(image.pixel(170, 125), kWhite);
  EXPECT_EQ(image.pixel(125, 81), kWhite);
  // North tick: box (125, 30, 126, 35), one pixel wide.
  for (int y = 30; y <= 34; ++y) EXPECT_EQ(image.pixel(125, y), kBlack) << y;
  EXPECT_EQ(image.pixel(125, 29), kWhite);
  EXPECT_EQ(image.pixel(124, 32), kWhite);
  EXPECT_EQ(image.pixel(126, 32), kWhite);
  EXPECT_EQ(Count(image, kRed), 0) << "a zero mask ring hides under the horizon";
}

TEST(SkyPlot, RingsAreThinSymmetricAndAtTheirRadius) {
  const TGPS gps;
  const QImage image = Plot(gps);
  // Inside the horizon, everything black but the centre dot is on one of the two rings.
  EXPECT_EQ(Count(image, kBlack,
                  [](int x, int y) {
                    const double d = Distance(x, y);
                    return d > 3 && d <= 90.4 && !InRingBand(x, y, 45) && !InRingBand(x, y, 90);
                  }),
            0);
  for (int radius : {45, 90}) {
    int ring = 0;
    for (int y = 0; y < 250; ++y) {
      for (int x = 0; x < 250; ++x) {
        if (!InRingBand(x, y, radius) || y < 40) continue;  // the tick and "N" sit on top
        const QRgb colour = image.pixel(x, y);
        ring += colour == kBlack;
        EXPECT_EQ(image.pixel(249 - x, y), colour) << radius << ": " << x << "," << y;
        EXPECT_EQ(image.pixel(x, 249 - y), colour) << radius << ": " << x << "," << y;
        EXPECT_EQ(image.pixel(y, x), colour) << radius << ": " << x << "," << y;
      }
    }
    // A closed 8-connected circle has at least 4 * sqrt(2) * radius pixels.
    EXPECT_GT(ring, static_cast<int>(5.2 * radius) * (250 - 40) / 250) << radius;
  }
}

TEST(SkyPlot, NorthLabelHangsFromItsTopLeftCorner) {
  const TGPS gps;
  const QImage image = Plot(gps);
  // Top-left at (127, 18): nothing above row 18, nothing left of x 127 above the tick.
  EXPECT_EQ(Count(image, kBlack, [](int, int y) { return y < 18; }), 0);
  EXPECT_EQ(Count(image, kBlack, [](int x, int y) { return x >= 100 && x < 127 && y < 30; }), 0);
  EXPECT_GE(Count(image, kBlack, [](int x, int y) { return x >= 127 && x < 141 && y < 32; }), 8);
  EXPECT_EQ(Count(image, kBlack, [](int x, int y) { return x >= 141 && y < 32; }), 0);
}

TEST(SkyPlot, SatelliteMarkerIsASixPixelGreenDotWithBlackOutline) {
  TGPS gps;
  gps.Sat[7] = {true, 45, 45, 40};  // lands on (156, 94); box (153, 91, 159, 97)
  const QImage image = Plot(gps);
  for (int y = 92; y <= 95; ++y) {
    for (int x = 154; x <= 157; ++x) EXPECT_EQ(image.pixel(x, y), kGreen) << x << "," << y;
  }
  EXPECT_EQ(Count(image, kGreen), 16);
  for (QPoint p : {QPoint(153, 94), QPoint(158, 94), QPoint(156, 91), QPoint(156, 96),
                   QPoint(154, 91), QPoint(157, 96), QPoint(153, 92), QPoint(158, 95)}) {
    EXPECT_EQ(image.pixel(p), kBlack) << p.x() << "," << p.y();
  }
  for (QPoint p :
       {QPoint(153, 91), QPoint(158, 96), QPoint(152, 94), QPoint(156, 90), QPoint(159, 94)}) {
    EXPECT_EQ(image.pixel(p), kWhite) << p.x() << "," << p.y();
  }
}

TEST(SkyPlot, LabelHangsBelowRightOfTheMarker) {
  TGPS gps;
  gps.Sat[7] = {true, 60, 0, 40};  // (125, 95); label top-left at (130, 100)
  const QImage image = Plot(gps);
  auto area = [](int x, int y) { return x >= 128 && x <= 145 && y >= 86 && y <= 116; };
  EXPECT_GE(Count(image, kBlack, area), 4);
  EXPECT_EQ(Count(image, kBlack, [&](int x, int y) { return area(x, y) && (x < 130 || y < 100); }),
            0);
}

TEST(SkyPlot, PositionsOnTheChart) {
  struct Case {
    const char* name;
    int32_t elevation, azimuth;
    int x, y;
  };
  const Case cases[] = {
      {"east on the horizon, drawn over the ring", 0, 90, 215, 125},
      {"zenith, over the centre dot", 90, 0, 125, 125},
      {"no GSV data yet: top of the horizon", 0, 0, 125, 35},
  };
  for (const auto& c : cases) {
    TGPS gps;
    gps.Sat[12] = {true, c.elevation, c.azimuth, 0};
    const QImage image = Plot(gps);
    EXPECT_EQ(image.pixel(c.x, c.y), kGreen) << c.name;
    EXPECT_EQ(image.pixel(c.x - 1, c.y - 1), kGreen) << c.name;
    EXPECT_EQ(image.pixel(c.x - 3, c.y), kBlack) << c.name;
    EXPECT_EQ(image.pixel(c.x + 2, c.y), kBlack) << c.name;
  }
}

TEST(SkyPlot, OnlyUsedSatellitesAreDrawn) {
  TGPS gps;
  gps.Sat[4] = {false, 45, 45, 48};
  gps.Sat[30] = {false, 10, 200, 40};
  EXPECT_EQ(Count(Plot(gps), kGreen), 0);
  gps.Sat[30].Used = true;
  EXPECT_EQ(Count(Plot(gps), kGreen), 16);
}

TEST(SkyPlot, SatellitesFarOffTheChartAreClipped) {
  TGPS gps;
  gps.Sat[1] = {true, INT32_MIN, 0, 40};
  gps.Sat[2] = {true, 0, INT32_MAX, 40};
  gps.Sat[3] = {true, -80, 90, 40};  // 170 pixels east: off the bitmap
  const QImage image = Plot(gps);
  EXPECT_EQ(Count(image, kGreen), 16) << "only PRN 2 (its azimuth wraps) is on the chart";
}

TEST(SkyPlot, MaskRingRadius) {
  struct Case {
    std::string mask;
    int radius;  // 0: no red at all
  };
  const Case cases[] = {
      {"", 0},                  // hidden under the horizon
      {"0", 0},     {"45", 0},  // hidden under the 45-degree ring
      {"10", 80},   {Decimal("12", "7"), 78},
      {"-60", 150},  // only the corners of the bitmap see it
      {"90", 0},    {"120", 0},
      {"-1e9", 0},  // far beyond the bitmap
  };
  for (const auto& c : cases) {
    const QImage image = Plot(TGPS(), c.mask);
    const int red = Count(image, kRed);
    if (c.radius == 0) {
      EXPECT_EQ(red, 0) << c.mask;
      continue;
    }
    EXPECT_GT(red, 20) << c.mask;
    EXPECT_EQ(Count(image, kRed, [&](int x, int y) { return !InRingBand(x, y, c.radius); }), 0)
        << c.mask;
  }
  const QImage ten = Plot(TGPS(), "10");  // box (45, 45, 205, 205)
  EXPECT_EQ(ten.pixel(45, 125), kRed);
  EXPECT_EQ(ten.pixel(44, 125), kWhite);
  EXPECT_EQ(ten.pixel(204, 125), kRed);
  EXPECT_EQ(ten.pixel(205, 125), kWhite);
  EXPECT_EQ(ten.pixel(125, 45), kRed);
  const QImage twelve = Plot(TGPS(), Decimal("12", "7"));
  EXPECT_EQ(twelve.pixel(47, 125), kRed);
  EXPECT_EQ(twelve.pixel(46, 125), kWhite);
}

TEST(SkyPlot, BadMaskAngleLeavesThePreviousPicture) {
  TGPS gps;
  gps.Sat[5] = {true, 30, 120, 40};
  QImage bitmap = NewSatBitmap();
  RedrawSkyPlot(bitmap, "10", gps);
  const QImage before = bitmap.copy();
  gps.Sat[5].Azimuth = 300;
  EXPECT_THROW(RedrawSkyPlot(bitmap, "abc", gps), MaskAngleError);
  EXPECT_EQ(bitmap, before);
}

TEST(SkyPlot, OnlyTheCentreFollowsTheSize) {
  QImage bitmap = NewSatBitmap();
  bitmap.fill(Qt::blue);
  {
    QPainter painter(&bitmap);
    DrawSkyPlot(painter, 200, 90, TGPS());
  }
  EXPECT_EQ(bitmap.pixel(10, 100), kBlack);  // horizon box (10, 10, 190, 190)
  EXPECT_EQ(bitmap.pixel(189, 100), kBlack);
  EXPECT_EQ(bitmap.pixel(100, 100), kBlack);  // centre dot
  EXPECT_EQ(bitmap.pixel(199, 199), kWhite);
  EXPECT_EQ(bitmap.pixel(200, 200), qRgb(0, 0, 255)) << "background is size x size only";
}

TEST(SkyPlot, NullBitmapStillChecksTheMask) {
  QImage none;
  EXPECT_NO_THROW(RedrawSkyPlot(none, "10", TGPS()));
  EXPECT_THROW(RedrawSkyPlot(none, "x", TGPS()), MaskAngleError);
}

// Each change to what a drawn chart came from: redrawn exactly when its pixels would
// differ, and the bitmap always equals a chart drawn afresh.
TEST(SkyPlot, RedrawnOnlyWhenWhatItShowsChanged) {
  struct Case {
    const char* name;
    std::function<void(TGPS&, std::string&)> change;
    bool drawn;
  };
  const Case cases[] = {
      {"nothing", [](TGPS&, std::string&) {}, false},
      {"fix texts",
       [](TGPS& g, std::string&) {
         g.LatitudeText = "1.0 N";
         g.SpeedText = "9 K";
       },
       false},
      {"SNR", [](TGPS& g, std::string&) { g.Sat[5].SNR = 12; }, false},
      {"unused satellite moves", [](TGPS& g, std::string&) { g.Sat[7].Azimuth = 99; }, false},
      {"same mask, other text", [](TGPS&, std::string& m) { m = " 10 "; }, false},
      {"azimuth", [](TGPS& g, std::string&) { g.Sat[5].Azimuth = 301; }, true},
      {"elevation", [](TGPS& g, std::string&) { g.Sat[12].Elevation = 11; }, true},
      {"satellite dropped", [](TGPS& g, std::string&) { g.Sat[12].Used = false; }, true},
      {"satellite added", [](TGPS& g, std::string&) { g.Sat[7].Used = true; }, true},
      {"mask", [](TGPS&, std::string& m) { m = "20"; }, true},
  };
  for (const Case& c : cases) {
    TGPS gps;
    gps.Sat[5] = {true, 40, 300, 30};
    gps.Sat[12] = {true, 10, 45, 44};
    gps.Sat[7] = {false, 60, 10, 0};
    std::string mask = "10";
    QImage bitmap = NewSatBitmap();
    SkyPlotKey shown;
    ASSERT_TRUE(RedrawSkyPlotIfChanged(bitmap, mask, gps, shown)) << c.name;
    c.change(gps, mask);
    EXPECT_EQ(RedrawSkyPlotIfChanged(bitmap, mask, gps, shown), c.drawn) << c.name;
    EXPECT_EQ(bitmap, Plot(gps, mask)) << c.name;
    EXPECT_FALSE(RedrawSkyPlotIfChanged(bitmap, mask, gps, shown)) << c.name << ", again";
  }
}

// A used satellite of each constellation that moves, alone: the chart draws it, so the
// key must see it whatever its table number.
TEST(SkyPlot, RedrawnWhenASatelliteOfAnyConstellationMoves) {
  struct Case {
    const char* name;
    int id;
  };
  const Case cases[] = {
      {"GPS", 17}, {"GLONASS", 70}, {"QZSS", 195}, {"Galileo", 305}, {"BeiDou", 463},
  };
  for (const Case& c : cases) {
    TGPS gps;
    gps.Sat[static_cast<std::size_t>(c.id)] = {true, 40, 120, 30};
    QImage bitmap = NewSatBitmap();
    SkyPlotKey shown;
    ASSERT_TRUE(RedrawSkyPlotIfChanged(bitmap, "10", gps, shown)) << c.name;
    gps.Sat[static_cast<std::size_t>(c.id)].Azimuth = 250;
    EXPECT_TRUE(RedrawSkyPlotIfChanged(bitmap, "10", gps, shown)) << c.name;
    EXPECT_EQ(bitmap, Plot(gps, "10")) << c.name << ": stale picture";
  }
}

TEST(SkyPlot, SkippedRedrawStillRaisesForABadMask) {
  TGPS gps;
  QImage bitmap = NewSatBitmap();
  SkyPlotKey shown;
  RedrawSkyPlotIfChanged(bitmap, "10", gps, shown);
  EXPECT_THROW(RedrawSkyPlotIfChanged(bitmap, "abc", gps, shown), MaskAngleError);
  EXPECT_FALSE(RedrawSkyPlotIfChanged(bitmap, "10", gps, shown));
}

}  // namespace
}  // namespace ostrel
