#include "tools/emulator/scenario.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ostrel::emulator {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;
constexpr double kWgs84A = 6378137.0;
constexpr double kWgs84F = 1.0 / 298.257223563;
constexpr double kWgs84E2 = kWgs84F * (2.0 - kWgs84F);

constexpr double kStartLatitude = 48.0 + 7.038 / 60.0;
constexpr double kStartLongitude = 11.0 + 31.000 / 60.0;
constexpr double kBaseAltitude = 545.4;
constexpr double kGeoidSeparation = 47.0;
constexpr double kLoopRadius = 400.0;  // metres
constexpr double kSpeed = 12.5;        // m/s, 45 km/h

// Sorted by elevation: the fix uses the highest ones; one more sits low, in view
// but not tracked.
struct SkySlot {
  int prn;
  double elevation;
  double azimuth;
};
constexpr std::array<SkySlot, kMaxInView> kSky = {{
    {5, 68, 312},
    {12, 54, 58},
    {2, 47, 196},
    {25, 39, 122},
    {29, 31, 268},
    {15, 26, 41},
    {18, 21, 160},
    {21, 17, 232},
    {9, 14, 86},
    {26, 11, 350},
    {31, 8, 20},
    {14, 4, 140},
}};

// Latitude and longitude `north` and `east` metres from the start point.
void PlaceNear(Epoch& e, double north, double east) {
  const double s = std::sin(kStartLatitude * kDeg);
  const double w = std::sqrt(1.0 - kWgs84E2 * s * s);
  const double meridian = kWgs84A * (1.0 - kWgs84E2) / (w * w * w);
  const double prime = kWgs84A / w;
  e.latitude = kStartLatitude + north / meridian / kDeg;
  e.longitude = kStartLongitude + east / (prime * std::cos(kStartLatitude * kDeg)) / kDeg;
}

}  // namespace

Wander::Offset Wander::At(std::int64_t unix_ms) {
  if (!last_ms_) {
    // The first fix already lies somewhere in the spread, not on the point.
    offset_ = {normal_(rng_), normal_(rng_), normal_(rng_)};
  } else if (unix_ms > *last_ms_) {
    const double keep =
        std::exp(-static_cast<double>(unix_ms - *last_ms_) / 1000.0 / kCorrelationSeconds);
    const double fresh = std::sqrt(1.0 - keep * keep);
    offset_.east = keep * offset_.east + fresh * normal_(rng_);
    offset_.north = keep * offset_.north + fresh * normal_(rng_);
    offset_.up = keep * offset_.up + fresh * normal_(rng_);
  } else {
    return offset_;
  }
  last_ms_ = unix_ms;
  return offset_;
}

Scenario::Scenario(int used_satellites) : used_(std::clamp(used_satellites, 4, kMaxInView - 2)) {}

Scenario::Scenario(int used_satellites, std::uint32_t seed) : Scenario(used_satellites) {
  wander_.emplace(seed);
}

Epoch Scenario::At(double seconds, std::int64_t unix_ms) {
  Epoch e;
  e.unix_ms = unix_ms;
  e.geoid_separation = kGeoidSeparation;
  e.hdop = 0.85 + 0.15 * (kMaxInView - 2 - used_) + 0.03 * std::sin(seconds / 50.0);
  e.vdop = 1.55 * e.hdop;
  e.pdop = std::sqrt(e.hdop * e.hdop + e.vdop * e.vdop);

  if (wander_) {
    // Parked: no speed, so no course either, as a receiver leaves the field empty when it
    // cannot tell a heading; the error spreads as the geometry of this fix allows.
    const Wander::Offset off = wander_->At(unix_ms);
    const double horizontal = kRangeErrorMetres * e.hdop / std::numbers::sqrt2;
    PlaceNear(e, horizontal * off.north, horizontal * off.east);
    e.altitude = kBaseAltitude + kRangeErrorMetres * e.vdop * off.up;
  } else {
    // Clockwise loop that starts heading north from the sample point.
    const double angle = kSpeed / kLoopRadius * seconds;
    PlaceNear(e, kLoopRadius * std::sin(angle), kLoopRadius * (1.0 - std::cos(angle)));
    e.altitude = kBaseAltitude + 3.0 * std::sin(angle);
    e.speed = kSpeed;
    e.course = std::fmod(angle / kDeg, 360.0);
    e.velocity_north = kSpeed * std::cos(angle);
    e.velocity_east = kSpeed * std::sin(angle);
    e.velocity_up = 3.0 * kSpeed / kLoopRadius * std::cos(angle);
  }

  e.used = used_;
  e.in_view = used_ + 1;
  for (int i = 0; i < e.in_view; ++i) {
    const SkySlot& slot = kSky[static_cast<std::size_t>(i)];
    SatelliteView& sat = e.satellites[static_cast<std::size_t>(i)];
    sat.prn = slot.prn;
    const double elevation =
        slot.elevation + 3.0 * std::sin(2.0 * kPi * seconds / 900.0 + slot.prn);
    sat.elevation = static_cast<int>(std::lround(std::clamp(elevation, 1.0, 89.0)));
    sat.azimuth =
        static_cast<int>(std::lround(std::fmod(slot.azimuth + seconds / 240.0, 360.0))) % 360;
    sat.used = i < used_;
    sat.snr = sat.used ? static_cast<int>(std::lround(std::clamp(
                             30.0 + 0.25 * sat.elevation + 1.5 * std::sin(seconds / 7.0 + slot.prn),
                             20.0, 50.0)))
                       : 0;
  }
  return e;
}

Ecef ToEcef(double latitude, double longitude, double ellipsoid_height) {
  const double phi = latitude * kDeg;
  const double lambda = longitude * kDeg;
  const double s = std::sin(phi);
  const double n = kWgs84A / std::sqrt(1.0 - kWgs84E2 * s * s);
  return {(n + ellipsoid_height) * std::cos(phi) * std::cos(lambda),
          (n + ellipsoid_height) * std::cos(phi) * std::sin(lambda),
          (n * (1.0 - kWgs84E2) + ellipsoid_height) * s};
}

Ecef VelocityToEcef(double latitude, double longitude, double north, double east, double up) {
  const double phi = latitude * kDeg;
  const double lambda = longitude * kDeg;
  const double sp = std::sin(phi), cp = std::cos(phi);
  const double sl = std::sin(lambda), cl = std::cos(lambda);
  return {-sl * east - sp * cl * north + cp * cl * up, cl * east - sp * sl * north + cp * sl * up,
          cp * north + sp * up};
}

GpsTime ToGpsTime(std::int64_t unix_ms) {
  constexpr std::int64_t kGpsEpochUnixMs = 315964800000;  // 1980-01-06 00:00:00 UTC
  constexpr std::int64_t kLeapMs = 18000;
  constexpr std::int64_t kWeekMs = 604800000;
  const std::int64_t gps_ms = unix_ms - kGpsEpochUnixMs + kLeapMs;
  return {static_cast<int>(gps_ms / kWeekMs), static_cast<std::uint32_t>(gps_ms % kWeekMs)};
}

}  // namespace ostrel::emulator
