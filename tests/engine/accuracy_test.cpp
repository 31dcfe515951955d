// The accuracy figures against sets whose answers are known, and the tangent plane where
// longitudes wrap and meridians meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "engine/position_accuracy.h"

namespace ostrel {
namespace {

constexpr double kA = 6378137.0;
constexpr double kF = 1.0 / 298.257223563;
constexpr double kE2 = kF * (2 - kF);
constexpr double kRad = std::numbers::pi / 180.0;

// Small offsets east/north of `origin` into latitude/longitude through the ellipsoid's
// radii of curvature: a different road from the Earth-centred one under test, good to
// well under a millimetre for a few tens of metres.
GeoPoint Offset(const GeoPoint& origin, double east, double north) {
  const double s = std::sin(origin.latitude * kRad);
  const double w = std::sqrt(1 - kE2 * s * s);
  const double meridian = kA * (1 - kE2) / (w * w * w);
  const double normal = kA / w;
  return {origin.latitude + north / meridian / kRad,
          origin.longitude + east / (normal * std::cos(origin.latitude * kRad)) / kRad};
}

// The q-quantile by sorting and interpolating, written out apart from the model's.
double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const double pos = q * static_cast<double>(v.size() - 1);
  const auto i = static_cast<std::size_t>(pos);
  if (i + 1 >= v.size()) return v.back();
  return v[i] * (1 - (pos - static_cast<double>(i))) + v[i + 1] * (pos - static_cast<double>(i));
}

TEST(Accuracy, RingAroundTheReference) {
  const GeoPoint centre{52.5, 13.4};
  for (const bool typed : {true, false}) {
    PositionAccuracy acc(Millis{15} * 60000);
    if (typed) acc.SetReference(centre);
    for (int deg = 0; deg < 360; ++deg)
      acc.Add(Millis{deg} * 1000,
              Offset(centre, 10 * std::cos(deg * kRad), 10 * std::sin(deg * kRad)));
    const AccuracyFigures f = acc.Figures(359000);
    EXPECT_EQ(f.count, 360u);
    EXPECT_EQ(f.duration, 359000);
    EXPECT_NEAR(f.cep50, 10, 1e-3) << typed;
    EXPECT_NEAR(f.cep95, 10, 1e-3) << typed;
    EXPECT_NEAR(f.drms2, 20, 2e-3) << typed;
    EXPECT_NEAR(f.reference.latitude, centre.latitude, 1e-8) << typed;
    EXPECT_NEAR(f.reference.longitude, centre.longitude, 1e-8) << typed;
    EXPECT_NEAR(f.scatter[90].east, 0, 1e-3);
    EXPECT_NEAR(f.scatter[90].north, 10, 1e-3);
  }
}

// A seeded Gaussian cloud (sigma 3 m east, 2 m north, off-centre by 1.5 m east) against
// the figures worked out from the generated metres directly.
TEST(Accuracy, GaussianCloudAgainstDirectFigures) {
  const GeoPoint ref{-33.9, 151.2};
  std::mt19937 rng(20261207);
  std::normal_distribution<double> east(1.5, 3.0);
  std::normal_distribution<double> north(0.0, 2.0);
  std::vector<double> es;
  std::vector<double> ns;
  PositionAccuracy typed;
  PositionAccuracy running;
  typed.SetReference(ref);
  for (int i = 0; i < 2000; ++i) {
    es.push_back(east(rng));
    ns.push_back(north(rng));
    typed.Add(i, Offset(ref, es.back(), ns.back()));
    running.Add(i, Offset(ref, es.back(), ns.back()));
  }
  double me = 0;
  double mn = 0;
  for (int i = 0; i < 2000; ++i) {
    me += es[i] / 2000;
    mn += ns[i] / 2000;
  }
  for (const bool about_mean : {false, true}) {
    const double ce = about_mean ? me : 0;
    const double cn = about_mean ? mn : 0;
    std::vector<double> r;
    double sum2 = 0;
    for (int i = 0; i < 2000; ++i) {
      r.push_back(std::hypot(es[i] - ce, ns[i] - cn));
      sum2 += r.back() * r.back();
    }
    const AccuracyFigures f = (about_mean ? running : typed).Figures(1999);
    EXPECT_NEAR(f.cep50, Percentile(r, 0.5), 5e-3) << about_mean;
    EXPECT_NEAR(f.cep95, Percentile(r, 0.95), 5e-3) << about_mean;
    EXPECT_NEAR(f.drms2, 2 * std::sqrt(sum2 / 2000), 5e-3) << about_mean;
  }
  const PlanePoint mean = ToLocalPlane(ref, running.Figures(1999).reference);
  EXPECT_NEAR(mean.east, me, 5e-3);
  EXPECT_NEAR(mean.north, mn, 5e-3);
}

// Across the pole and across ±180°: east/north as the short way round has them.
TEST(Accuracy, LocalPlaneNearThePolesAndAcrossTheDateLine) {
  const double polar_radius = kA / std::sqrt(1 - kE2);  // meridian radius at the pole
  const double delta = 1e-5;
  struct Case {
    const char* name;
    GeoPoint origin;
    GeoPoint point;
    double east;
    double north;
  };
  const Case cases[] = {
      {"over the north pole",
       {90 - delta, 0},
       {90 - delta, 180},
       0,
       2 * delta * kRad * polar_radius},
      {"over the south pole",
       {-90 + delta, 90},
       {-90 + delta, -90},
       0,
       -2 * delta * kRad * polar_radius},
      {"east across 180", {0, 180 - delta}, {0, -180 + delta}, 2 * delta * kRad * kA, 0},
      {"west across 180", {0, -180 + delta}, {0, 180 - delta}, -2 * delta * kRad * kA, 0},
      {"at the pole itself", {90, 0}, {90, 123}, 0, 0},
  };
  for (const Case& c : cases) {
    const PlanePoint p = ToLocalPlane(c.origin, c.point);
    EXPECT_NEAR(p.east, c.east, 1e-3) << c.name;
    EXPECT_NEAR(p.north, c.north, 1e-3) << c.name;
  }
}

TEST(Accuracy, RunningMeanWhereLongitudesWrapOrMeet) {
  struct Case {
    const char* name;
    std::vector<GeoPoint> points;
    GeoPoint mean;
  };
  const Case cases[] = {
      {"straddling 180", {{10, 179.9999}, {10, -179.9999}}, {10, 180}},
      {"round the north pole",
       {{89.9999, 0}, {89.9999, 90}, {89.9999, 180}, {89.9999, -90}},
       {90, 0}},
  };
  for (const Case& c : cases) {
    const std::optional<GeoPoint> mean = SurfaceMean(c.points);
    ASSERT_TRUE(mean) << c.name;
    EXPECT_NEAR(mean->latitude, c.mean.latitude, 1e-6) << c.name;
    const PlanePoint off = ToLocalPlane(c.mean, *mean);
    EXPECT_NEAR(std::hypot(off.east, off.north), 0, 1e-3) << c.name;
  }
  EXPECT_FALSE(SurfaceMean({}));
}

TEST(Accuracy, WindowLetsOldSamplesGo) {
  PositionAccuracy acc(60000);
  acc.Add(0, {1, 1});
  acc.Add(30000, {1, 1});
  acc.Add(61000, {1, 1});
  EXPECT_EQ(acc.Count(), 2u);
  EXPECT_EQ(acc.Figures(95000).count, 1u);
  acc.SetWindow(Millis{5} * 60000);
  acc.Add(200000, {1, 1});
  EXPECT_EQ(acc.Figures(200000).duration, 139000);
  acc.Add(201000, {91, 0});
  acc.Add(201000, {0, std::nan("")});
  EXPECT_EQ(acc.Count(), 2u) << "impossible positions are not samples";
  acc.Clear();
  EXPECT_EQ(acc.Figures(201000).count, 0u);
}

}  // namespace
}  // namespace ostrel
