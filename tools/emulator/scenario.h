#pragma once
// The built-in drive: a car circling clockwise at 45 km/h on a loop of 400 m radius that
// starts at Munich's classic NMEA sample point (4807.038 N, 01131.000 E), under a fixed set
// of satellites drifting slowly across the sky.
#include <array>
#include <cstdint>

namespace ostrel::emulator {

struct SatelliteView {
  int prn = 0;
  int elevation = 0;  // degrees
  int azimuth = 0;    // degrees, 0..359
  int snr = 0;        // dB-Hz; 0 when in view but not tracked
  bool used = false;
};

inline constexpr int kMaxInView = 12;

struct Epoch {
  std::int64_t unix_ms = 0;  // UTC of the solution
  double latitude = 0;       // degrees, north positive
  double longitude = 0;      // degrees, east positive
  double altitude = 0;       // metres above mean sea level
  double geoid_separation = 0;
  double speed = 0;   // m/s over ground
  double course = 0;  // degrees true
  double velocity_north = 0, velocity_east = 0, velocity_up = 0;
  std::array<SatelliteView, kMaxInView> satellites{};
  int in_view = 0;
  int used = 0;
  double pdop = 0, hdop = 0, vdop = 0;
};

class Scenario {
 public:
  explicit Scenario(int used_satellites);

  // The solution `seconds` after the drive began, stamped with `unix_ms`.
  Epoch At(double seconds, std::int64_t unix_ms) const;

 private:
  int used_;
};

// Earth-centred, earth-fixed coordinates (WGS84) of a position, metres.
struct Ecef {
  double x = 0, y = 0, z = 0;
};
Ecef ToEcef(double latitude, double longitude, double ellipsoid_height);
Ecef VelocityToEcef(double latitude, double longitude, double north, double east, double up);

// GPS week and time of week (ms) of a Unix time; GPS runs 18 leap seconds ahead of UTC.
struct GpsTime {
  int week = 0;
  std::uint32_t tow_ms = 0;
};
GpsTime ToGpsTime(std::int64_t unix_ms);

}  // namespace ostrel::emulator
