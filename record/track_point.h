#pragma once
// One fix of a track as the recordings write it: what the receiver said in one epoch
// (the sentences that carry the same UTC time), in SI units and decimal degrees.
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

// GPX's <fix> values that a NMEA receiver can report.
enum class FixKind { kUnknown, k2d, k3d, kDgps };

// "2d", "3d", "dgps", or "" for kUnknown.
const char* FixName(FixKind kind);

struct TrackPoint {
  // Milliseconds of the UTC day (0 .. 86,399,999), from the receiver.
  std::int32_t day_ms = 0;
  // Days since 1970-01-01 when RMC or ZDA gave the date, else nothing.
  std::optional<std::int32_t> day;
  double latitude = 0;              // degrees, north positive
  double longitude = 0;             // degrees, east positive
  std::optional<double> elevation;  // metres above mean sea level
  std::optional<double> speed;      // m/s over ground
  std::optional<double> course;     // degrees true
  FixKind fix = FixKind::kUnknown;
  std::optional<int> satellites;  // used in the fix
  std::optional<double> hdop;
  std::optional<double> vdop;
  std::optional<double> pdop;

  // Milliseconds since 1970-01-01T00:00Z, when the date is known.
  std::optional<std::int64_t> UtcMs() const {
    if (!day) return std::nullopt;
    return std::int64_t{*day} * 86'400'000 + day_ms;
  }
};

// Days since 1970-01-01 of a proleptic Gregorian date; and back.
std::int32_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(std::int32_t days, int& year, int& month, int& day);

// "2026-12-07T18:05:24.250Z" (milliseconds only when not whole), or "18:05:24.250" when
// the date is unknown.
std::string FormatUtc(const TrackPoint& point);

}  // namespace ostrel
