#include "tools/emulator/nmea.h"

#include <cmath>
#include <cstdio>

namespace ostrel::emulator {

std::uint8_t NmeaChecksum(std::string_view body) {
  std::uint8_t sum = 0;
  for (const char c : body) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(c));
  return sum;
}

void AppendSentence(std::vector<std::uint8_t>& out, std::string_view body) {
  char tail[6];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
  out.push_back('$');
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), tail, tail + 5);
}

std::string NmeaAngle(double degrees, int degree_digits) {
  const double magnitude = std::fabs(degrees);
  // Round on the last printed digit first, so 59.999996' never prints as 60.00000'.
  const long long hundred_thousandths = std::llround(magnitude * 60.0 * 100000.0);
  const long long whole_degrees = hundred_thousandths / (60LL * 100000);
  const long long minutes_scaled = hundred_thousandths % (60LL * 100000);
  char text[24];
  std::snprintf(text, sizeof text, "%0*lld%02lld.%05lld", degree_digits, whole_degrees,
                minutes_scaled / 100000, minutes_scaled % 100000);
  return text;
}

namespace {

struct CivilTime {
  int year, month, day, hour, minute, second, centis;
};

// Days since 1970-01-01 to a civil date (H. Hinnant's algorithm), no time zone.
CivilTime ToCivil(std::int64_t unix_ms) {
  std::int64_t days = unix_ms / 86400000;
  std::int64_t ms_of_day = unix_ms % 86400000;
  if (ms_of_day < 0) {
    ms_of_day += 86400000;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return {static_cast<int>(year),
          static_cast<int>(month),
          static_cast<int>(day),
          static_cast<int>(ms_of_day / 3600000),
          static_cast<int>(ms_of_day / 60000 % 60),
          static_cast<int>(ms_of_day / 1000 % 60),
          static_cast<int>(ms_of_day % 1000 / 10)};
}

}  // namespace

std::string NmeaTime(std::int64_t unix_ms) {
  const CivilTime t = ToCivil(unix_ms);
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d.%02d", t.hour, t.minute, t.second, t.centis);
  return text;
}

std::string NmeaDate(std::int64_t unix_ms) {
  const CivilTime t = ToCivil(unix_ms);
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", t.day, t.month, t.year % 100);
  return text;
}

}  // namespace ostrel::emulator
