#include "engine/position_accuracy.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ostrel {

namespace {

// WGS-84.
constexpr double kSemiMajor = 6378137.0;
constexpr double kFlattening = 1.0 / 298.257223563;
constexpr double kEccentricity2 = kFlattening * (2 - kFlattening);
constexpr double kDegree = std::numbers::pi / 180.0;
// A receiver at 10 Hz for an hour; beyond it the oldest go first.
constexpr std::size_t kMaxSamples = 36000;

struct Ecef {
  double x = 0;
  double y = 0;
  double z = 0;
};

Ecef ToEcef(const GeoPoint& p) {
  const double lat = p.latitude * kDegree;
  const double lon = p.longitude * kDegree;
  const double n = kSemiMajor / std::sqrt(1 - kEccentricity2 * std::sin(lat) * std::sin(lat));
  return {n * std::cos(lat) * std::cos(lon), n * std::cos(lat) * std::sin(lon),
          n * (1 - kEccentricity2) * std::sin(lat)};
}

// Back onto the ellipsoid along its normal (Bowring's single step is enough for points
// on or near the surface, which is all a mean of surface points is).
GeoPoint ToGeo(const Ecef& e) {
  const double b = kSemiMajor * (1 - kFlattening);
  const double ep2 = (kSemiMajor * kSemiMajor - b * b) / (b * b);
  const double p = std::hypot(e.x, e.y);
  const double theta = std::atan2(e.z * kSemiMajor, p * b);
  const double lat = std::atan2(e.z + ep2 * b * std::pow(std::sin(theta), 3),
                                p - kEccentricity2 * kSemiMajor * std::pow(std::cos(theta), 3));
  return {lat / kDegree, std::atan2(e.y, e.x) / kDegree};
}

}  // namespace

PlanePoint ToLocalPlane(const GeoPoint& origin, const GeoPoint& point) {
  const Ecef o = ToEcef(origin);
  const Ecef p = ToEcef(point);
  const double dx = p.x - o.x;
  const double dy = p.y - o.y;
  const double dz = p.z - o.z;
  const double lat = origin.latitude * kDegree;
  const double lon = origin.longitude * kDegree;
  return {-std::sin(lon) * dx + std::cos(lon) * dy, -std::sin(lat) * std::cos(lon) * dx -
                                                        std::sin(lat) * std::sin(lon) * dy +
                                                        std::cos(lat) * dz};
}

std::optional<GeoPoint> SurfaceMean(const std::vector<GeoPoint>& points) {
  if (points.empty()) return std::nullopt;
  Ecef sum;
  for (const GeoPoint& g : points) {
    const Ecef e = ToEcef(g);
    sum.x += e.x;
    sum.y += e.y;
    sum.z += e.z;
  }
  const auto n = static_cast<double>(points.size());
  return ToGeo({sum.x / n, sum.y / n, sum.z / n});
}

double Quantile(std::vector<double>& values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double pos = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(pos));
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (pos - static_cast<double>(below)) * (values[above] - values[below]);
}

void PositionAccuracy::SetWindow(Millis window) { window_ = window; }

void PositionAccuracy::Add(Millis at, const GeoPoint& point) {
  if (!std::isfinite(point.latitude) || !std::isfinite(point.longitude) ||
      std::fabs(point.latitude) > 90 || std::fabs(point.longitude) > 180)
    return;
  samples_.push_back({at, point});
  if (samples_.size() > kMaxSamples) samples_.pop_front();
  Expire(at);
}

void PositionAccuracy::Expire(Millis now) {
  while (!samples_.empty() && now - samples_.front().at > window_) samples_.pop_front();
}

AccuracyFigures PositionAccuracy::Figures(Millis now) {
  Expire(now);
  AccuracyFigures f;
  f.count = samples_.size();
  if (samples_.empty()) return f;
  f.duration = samples_.back().at - samples_.front().at;
  if (reference_) {
    f.reference = *reference_;
  } else {
    std::vector<GeoPoint> points;
    points.reserve(samples_.size());
    for (const Sample& s : samples_) points.push_back(s.point);
    f.reference = *SurfaceMean(points);
  }
  std::vector<double> radii;
  radii.reserve(samples_.size());
  f.scatter.reserve(samples_.size());
  double sum_squares = 0;
  for (const Sample& s : samples_) {
    const PlanePoint p = ToLocalPlane(f.reference, s.point);
    f.scatter.push_back(p);
    const double r2 = p.east * p.east + p.north * p.north;
    sum_squares += r2;
    radii.push_back(std::sqrt(r2));
  }
  f.drms2 = 2 * std::sqrt(sum_squares / static_cast<double>(radii.size()));
  f.cep50 = Quantile(radii, 0.50);
  f.cep95 = Quantile(radii, 0.95);
  return f;
}

}  // namespace ostrel
