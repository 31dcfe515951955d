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

}  // namespace

Scenario::Scenario(int used_satellites) : used_(std::clamp(used_satellites, 4, kMaxInView - 2)) {}

Epoch Scenario::At(double seconds, std::int64_t unix_ms) const {
  Epoch e;
  e.unix_ms = unix_ms;

  // Clockwise loop that starts heading north from the sample point.
  const double angle = kSpeed / kLoopRadius * seconds;
  const double north = kLoopRadius * std::sin(angle);
  const double east = kLoopRadius * (1.0 - std::cos(angle));
  const double s = std::sin(kStartLatitude * kDeg);
  const double w = std::sqrt(1.0 - kWgs84E2 * s * s);
  const double meridian = kWgs84A * (1.0 - kWgs84E2) / (w * w * w);
  const double prime = kWgs84A / w;
  e.latitude = kStartLatitude + north / meridian / kDeg;
  e.longitude = kStartLongitude + east / (prime * std::cos(kStartLatitude * kDeg)) / kDeg;
  e.altitude = kBaseAltitude + 3.0 * std::sin(angle);
  e.geoid_separation = kGeoidSeparation;
  e.speed = kSpeed;
  e.course = std::fmod(angle / kDeg, 360.0);
  e.velocity_north = kSpeed * std::cos(angle);
  e.velocity_east = kSpeed * std::sin(angle);
  e.velocity_up = 3.0 * kSpeed / kLoopRadius * std::cos(angle);

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
  e.hdop = 0.85 + 0.15 * (kMaxInView - 2 - used_) + 0.03 * std::sin(seconds / 50.0);
  e.vdop = 1.55 * e.hdop;
  e.pdop = std::sqrt(e.hdop * e.hdop + e.vdop * e.vdop);
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
