#pragma once
// The built-in drive: a car circling clockwise at 45 km/h on a loop of 400 m radius that
// starts at Munich's classic NMEA sample point (4807.038 N, 01131.000 E), under a fixed set
// of satellites drifting slowly across the sky. Or, standing still, the module parked on
// that point under the same sky.
#include <array>
#include <cstdint>
#include <optional>
#include <random>

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
  double speed = 0;              // m/s over ground
  std::optional<double> course;  // degrees true; none when standing still
  double velocity_north = 0, velocity_east = 0, velocity_up = 0;
  std::array<SatelliteView, kMaxInView> satellites{};
  int in_view = 0;
  int used = 0;
  double pdop = 0, hdop = 0, vdop = 0;
};

// Where a receiver standing still puts itself: near the true point, never on it, the error
// wandering slowly as the satellites move and the air changes. Each axis is a random walk
// pulled back to zero (an Ornstein-Uhlenbeck process, stepped exactly for any interval)
// with a correlation time of a minute; its spread is one, the caller scales it.
class Wander {
 public:
  static constexpr double kCorrelationSeconds = 60.0;

  struct Offset {
    double east = 0, north = 0, up = 0;  // standard deviations
  };

  explicit Wander(std::uint32_t seed) : rng_(seed) {}

  // The error at `unix_ms`. A time not after the last one gives the last error again, so a
  // burst asked for twice, or a clock stepped back, tells one story.
  Offset At(std::int64_t unix_ms);

 private:
  std::mt19937 rng_;
  std::normal_distribution<double> normal_;
  std::optional<std::int64_t> last_ms_;
  Offset offset_;
};

class Scenario {
 public:
  // The drive.
  explicit Scenario(int used_satellites);
  // Standing still, the reported position wandering as `seed` draws it.
  Scenario(int used_satellites, std::uint32_t seed);

  // The solution `seconds` after the run began, stamped with `unix_ms`.
  Epoch At(double seconds, std::int64_t unix_ms);

 private:
  int used_;
  std::optional<Wander> wander_;
};

// The spread of a standing receiver's error per unit of DOP (user equivalent range error):
// an HDOP of 1.15 gives about 1.9 m CEP50, near the 2 m published for the Antaris 4 with
// SBAS.
inline constexpr double kRangeErrorMetres = 2.0;

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
