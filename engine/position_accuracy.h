#pragma once
// How accurate the receiver really is: the positions of the last N minutes, seen in metres
// east and north of a reference, and the spread figures of that scatter.
//
// Method. Each latitude/longitude (WGS-84, height taken as 0) becomes an Earth-centred
// point; the reference is either a point the user typed or the running mean, taken as the
// mean of the Earth-centred points pushed back onto the ellipsoid, so that a run straddling
// ±180° or a pole averages where it lies, not at longitude 0. Each point's difference from
// the reference is turned into east/north by the rotation of the tangent plane at the
// reference. Over the few hundred metres a receiver wanders this plane departs from the
// ellipsoid by well under a millimetre.
//
// CEP50 and CEP95 are the 50th and 95th percentiles of the horizontal distances from the
// reference (linear interpolation between the sorted distances); 2DRMS is twice the root
// mean square of those distances.
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

struct GeoPoint {
  double latitude = 0;   // degrees, north positive
  double longitude = 0;  // degrees, east positive
};

struct PlanePoint {
  double east = 0;   // metres
  double north = 0;  // metres
};

// The tangent plane at `origin`: east/north in metres of `point`.
PlanePoint ToLocalPlane(const GeoPoint& origin, const GeoPoint& point);
// The mean of `points` taken on the Earth's surface (see above); none gives nullopt.
std::optional<GeoPoint> SurfaceMean(const std::vector<GeoPoint>& points);

struct AccuracyFigures {
  std::size_t count = 0;
  Millis duration = 0;  // from the oldest sample kept to the newest
  GeoPoint reference;
  double cep50 = 0;  // metres
  double cep95 = 0;
  double drms2 = 0;
  std::vector<PlanePoint> scatter;  // each sample, in the order taken
};

// The `q` quantile (0..1) of `values` by linear interpolation; `values` is reordered.
double Quantile(std::vector<double>& values, double q);

// The samples of a sliding window and their figures.
class PositionAccuracy {
 public:
  // `window`: how far back samples are kept.
  explicit PositionAccuracy(Millis window = 5 * 60 * 1000) : window_(window) {}

  void SetWindow(Millis window);
  Millis Window() const { return window_; }
  // A reference the user typed; nullopt goes back to the running mean.
  void SetReference(std::optional<GeoPoint> reference) { reference_ = reference; }
  const std::optional<GeoPoint>& Reference() const { return reference_; }

  // A fix taken at `at`; older samples than the window are let go.
  void Add(Millis at, const GeoPoint& point);
  void Clear() { samples_.clear(); }
  std::size_t Count() const { return samples_.size(); }

  // The figures of what the window holds at `now`; count 0 when it holds nothing.
  AccuracyFigures Figures(Millis now);

 private:
  struct Sample {
    Millis at;
    GeoPoint point;
  };
  void Expire(Millis now);

  Millis window_;
  std::optional<GeoPoint> reference_;
  std::deque<Sample> samples_;
};

}  // namespace ostrel
